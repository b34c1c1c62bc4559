// Byte streams: one record of back-end procedures with a push-back ring in front,
// plus the file back ends. Transports (socket, serial, USB, link client) provide
// their own creators and back-end procedures.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aSTREAMCHECK 0x4321u
#define aSTREAMBUFCHUNK 512u

// Takes one byte. aErrNone only when *byte was stored; aErrNotReady when no byte
// waits now (never blocks for long); aErrEOF at the end of a finite source.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
// Sends the whole block or reports why not.
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t count, void* ref);
// Closes the back end and frees its state.
typedef aErr (*aStreamDeleteProc)(void* ref);
// Waits up to timeoutMs for input without taking any. aErrNone as soon as a read is
// worth making (a byte waits, or the transport has an end or failure to report);
// aErrTimeout when the time ran out with nothing to read.
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* ref);
// Ends the reader's current wait at once (a wait proc, or a get that waits on the
// transport); when no wait is in progress the next one ends at once instead.
typedef void (*aStreamWakeProc)(void* ref);

typedef struct aStream {
    aStreamGetProc getProc;
    aStreamPutProc putProc;
    aStreamWriteProc writeProc;
    aStreamDeleteProc deleteProc;
    void* ref;
    uint8_t* pushBack;
    uint32_t pushBackCount;
    uint64_t pushBackSize;
    uint64_t pushBackHead;
    uint64_t pushBackTail;
    uint16_t check;
    aStreamWaitProc waitProc;  // optional; installed with aStream_SetWaitProc
    aStreamWakeProc wakeProc;  // optional; installed with aStream_SetWakeProc
} aStream;
typedef aStream* aStreamRef;

#define aVALIDSTREAM(s) ((s) != nullptr && (s)->check == aSTREAMCHECK)

// NULL when memory runs out. The stream owns ref: aStream_Destroy runs deleteProc on it.
aStreamRef aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                          aStreamDeleteProc deleteProc, void* ref);
// Lets aStream_WaitReadable sleep on the back end; a null procedure removes it.
aErr aStream_SetWaitProc(aStreamRef stream, aStreamWaitProc waitProc);
aErr aStream_SetWakeProc(aStreamRef stream, aStreamWakeProc wakeProc);

// All or nothing: exactly count bytes and aErrNone, or nothing taken and aErrNotReady
// while bytes are merely late (count 0 also answers aErrNotReady). On aErrEOF the
// bytes that arrived are copied; other errors drop what was taken.
aErr aStream_Read(aStreamRef stream, void* destination, size_t count);
aErr aStream_Write(aStreamRef stream, const void* data, size_t count);

// Waits up to timeoutMs until a read is worth making, without consuming input.
// aErrNone: pushed-back bytes wait or the back end has input (or an end or failure
// to report); aErrTimeout: nothing arrived in time; aErrUnimplemented: the back end
// cannot wait (the caller falls back to polling); aErrMode: the stream cannot be read.
aErr aStream_WaitReadable(aStreamRef stream, uint32_t timeoutMs);
// Lets a reader that waits on the stream go at once, so that it sees a stop or a new
// task without waiting out the transport. Safe from any thread while the stream lives.
// aErrUnimplemented when the back end cannot be woken (its waits are short).
aErr aStream_WakeReader(aStreamRef stream);

// Reads up to the delimiter (not stored) or until maximum bytes are held; a maximum
// of 0 is aErrParam. length may be null.
aErr aStream_ReadRecord(aStreamRef stream, void* destination, size_t* length, size_t maximum, const void* delimiter,
                        size_t delimiterLength);
aErr aStream_WriteRecord(aStreamRef stream, const void* data, size_t length, const void* delimiter,
                         size_t delimiterLength);
// Zero-terminated strings. On aErrNone the buffer holds the terminated record, on
// aErrEOF an empty string; other results leave it untouched. A buffer of fewer than
// 2 bytes is aErrParam.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t bufferSize);
aErr aStream_WriteCString(aStreamRef stream, const char* string);
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t bufferSize, const char* delimiter);
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string, const char* delimiter);

// Copies the source's back end into the destination until the source ends.
aErr aStream_Flush(aStreamRef source, aStreamRef destination);
// Runs deleteProc, frees the stream and clears the handle.
aErr aStream_Destroy(aStreamRef* stream);

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);
