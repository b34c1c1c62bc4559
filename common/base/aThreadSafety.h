// Lock rules the compiler checks: clang's thread-safety analysis (-Wthread-safety) reads
// these attributes; other compilers see nothing. A capability is a mutex or a role a
// call must be in; GUARDED_BY names what must be held to touch a field, REQUIRES what a
// caller must hold, ACQUIRE/RELEASE what a call takes or gives back.
#pragma once

#if defined(__clang__)
#define aTSA_ATTRIBUTE(x) __attribute__((x))
#else
#define aTSA_ATTRIBUTE(x)
#endif

#define aCAPABILITY(name) aTSA_ATTRIBUTE(capability(name))
#define aSCOPED_CAPABILITY aTSA_ATTRIBUTE(scoped_lockable)
#define aGUARDED_BY(x) aTSA_ATTRIBUTE(guarded_by(x))
#define aPT_GUARDED_BY(x) aTSA_ATTRIBUTE(pt_guarded_by(x))
#define aREQUIRES(...) aTSA_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define aREQUIRES_SHARED(...) aTSA_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
#define aACQUIRE(...) aTSA_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define aACQUIRE_SHARED(...) aTSA_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define aRELEASE(...) aTSA_ATTRIBUTE(release_capability(__VA_ARGS__))
#define aRELEASE_GENERIC(...) aTSA_ATTRIBUTE(release_generic_capability(__VA_ARGS__))
#define aTRY_ACQUIRE(...) aTSA_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define aEXCLUDES(...) aTSA_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// Only where the analysis cannot follow: a part made before another thread can see it.
#define aNO_THREAD_SAFETY_ANALYSIS aTSA_ATTRIBUTE(no_thread_safety_analysis)
