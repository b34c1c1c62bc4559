// Byte streams: push-back ring, all-or-nothing reads, records, C strings and files.
#include "aStream.h"

#include <cstdlib>
#include <cstring>

#include "aFile.h"

// Grows the ring by one chunk, moving the waiting bytes to its start in order.
static aErr sStreamGrowRing(aStreamRef stream) {
    const uint64_t newSize = stream->pushBackSize + aSTREAMBUFCHUNK;
    uint8_t* ring = static_cast<uint8_t*>(malloc(newSize));
    if (ring == nullptr) return aErrMemory;
    for (uint64_t i = 0; i < stream->pushBackCount; i++)
        ring[i] = stream->pushBack[(stream->pushBackHead + i) % stream->pushBackSize];
    free(stream->pushBack);
    stream->pushBack = ring;
    stream->pushBackSize = newSize;
    stream->pushBackHead = 0;
    stream->pushBackTail = stream->pushBackCount;
    return aErrNone;
}

static aErr sStreamMakeRoom(aStreamRef stream) {
    if (stream->pushBack == nullptr) {
        stream->pushBack = static_cast<uint8_t*>(malloc(aSTREAMBUFCHUNK));
        if (stream->pushBack == nullptr) return aErrMemory;
        stream->pushBackSize = aSTREAMBUFCHUNK;
        stream->pushBackCount = 0;
        stream->pushBackHead = 0;
        stream->pushBackTail = 0;
        return aErrNone;
    }
    if (stream->pushBackCount >= stream->pushBackSize - 1) return sStreamGrowRing(stream);
    return aErrNone;
}

// Returns bytes to the front of the ring, so they are read before anything waiting.
static aErr sStreamUnread(aStreamRef stream, const uint8_t* bytes, size_t count) {
    for (size_t i = count; i > 0; i--) {
        aErr err = sStreamMakeRoom(stream);
        if (err != aErrNone) return err;
        stream->pushBackHead = (stream->pushBackHead + stream->pushBackSize - 1) % stream->pushBackSize;
        stream->pushBack[stream->pushBackHead] = bytes[i - 1];
        stream->pushBackCount++;
    }
    return aErrNone;
}

static bool sStreamGetBufferedChar(aStreamRef stream, uint8_t* byte) {
    if (stream->pushBackCount == 0) return false;
    *byte = stream->pushBack[stream->pushBackHead];
    stream->pushBackHead = (stream->pushBackHead + 1) % stream->pushBackSize;
    stream->pushBackCount--;
    return true;
}

aStreamRef aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                          aStreamDeleteProc deleteProc, void* ref) {
    aStreamRef stream = static_cast<aStreamRef>(calloc(1, sizeof(aStream)));
    if (stream == nullptr) return nullptr;
    stream->getProc = getProc;
    stream->putProc = putProc;
    stream->writeProc = writeProc;
    stream->deleteProc = deleteProc;
    stream->ref = ref;
    stream->check = aSTREAMCHECK;
    return stream;
}

aErr aStream_SetWaitProc(aStreamRef stream, aStreamWaitProc waitProc) {
    if (!aVALIDSTREAM(stream)) return aErrParam;
    stream->waitProc = waitProc;
    return aErrNone;
}

aErr aStream_SetWakeProc(aStreamRef stream, aStreamWakeProc wakeProc) {
    if (!aVALIDSTREAM(stream)) return aErrParam;
    stream->wakeProc = wakeProc;
    return aErrNone;
}

aErr aStream_WakeReader(aStreamRef stream) {
    if (!aVALIDSTREAM(stream)) return aErrParam;
    if (stream->wakeProc == nullptr) return aErrUnimplemented;
    stream->wakeProc(stream->ref);
    return aErrNone;
}

aErr aStream_Read(aStreamRef stream, void* destination, size_t count) {
    if (!aVALIDSTREAM(stream) || destination == nullptr) return aErrParam;
    if (stream->getProc == nullptr) return aErrMode;
    if (count == 0) return aErrNotReady;
    // The link reads one byte at a time: small reads need no heap.
    uint8_t small[16] = {};
    uint8_t* scratch = count <= sizeof(small) ? small : static_cast<uint8_t*>(malloc(count));
    if (scratch == nullptr) return aErrResource;

    aErr err = aErrNone;
    size_t taken = 0;
    while (taken < count) {
        uint8_t byte = 0;
        if (!sStreamGetBufferedChar(stream, &byte)) {
            err = stream->getProc(&byte, stream->ref);
            if (err != aErrNone) break;
        }
        scratch[taken++] = byte;
    }

    if (err == aErrNotReady) {
        // The ring is empty here (the back end is asked only then), so the bytes
        // taken go back in their order and the next read starts with them.
        aErr pushErr = sStreamUnread(stream, scratch, taken);
        if (pushErr != aErrNone) err = pushErr;
    } else if (err == aErrNone || err == aErrEOF) {
        memcpy(destination, scratch, taken);
    }
    if (scratch != small) free(scratch);
    return err;
}

aErr aStream_Write(aStreamRef stream, const void* data, size_t count) {
    if (!aVALIDSTREAM(stream) || data == nullptr) return aErrParam;
    if (stream->putProc == nullptr && stream->writeProc == nullptr) return aErrMode;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (stream->writeProc != nullptr && (count > 1 || stream->putProc == nullptr))
        return count == 0 ? aErrNone : stream->writeProc(bytes, count, stream->ref);
    for (size_t i = 0; i < count; i++) {
        aErr err = stream->putProc(&bytes[i], stream->ref);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr aStream_WaitReadable(aStreamRef stream, uint32_t timeoutMs) {
    if (!aVALIDSTREAM(stream)) return aErrParam;
    if (stream->getProc == nullptr) return aErrMode;
    if (stream->pushBackCount > 0) return aErrNone;
    if (stream->waitProc == nullptr) return aErrUnimplemented;
    return stream->waitProc(timeoutMs, stream->ref);
}

// Length of the longest proper prefix of the delimiter that ends the buffer: those
// bytes may still turn out to be the delimiter.
static size_t sPendingDelimiter(const uint8_t* buffer, size_t length, const uint8_t* delimiter,
                                size_t delimiterLength) {
    size_t k = delimiterLength - 1 < length ? delimiterLength - 1 : length;
    for (; k > 0; k--) {
        if (memcmp(buffer + length - k, delimiter, k) == 0) return k;
    }
    return 0;
}

aErr aStream_ReadRecord(aStreamRef stream, void* destination, size_t* length, size_t maximum, const void* delimiter,
                        size_t delimiterLength) {
    if (!aVALIDSTREAM(stream) || destination == nullptr || delimiter == nullptr || delimiterLength == 0 ||
        maximum == 0 || maximum > SIZE_MAX - delimiterLength)
        return aErrParam;
    const uint8_t* delim = static_cast<const uint8_t*>(delimiter);
    // Room for a full record plus a delimiter that is still being matched.
    uint8_t* scratch = static_cast<uint8_t*>(malloc(maximum + delimiterLength));
    if (scratch == nullptr) return aErrResource;

    aErr err = aErrNone;
    size_t taken = 0;
    size_t recordLength = 0;
    for (;;) {
        uint8_t byte = 0;
        err = aStream_Read(stream, &byte, 1);
        if (err == aErrEOF) {
            recordLength = taken < maximum ? taken : maximum;
            err = taken > 0 ? aErrNone : aErrEOF;
            break;
        }
        if (err != aErrNone) break;
        scratch[taken++] = byte;
        if (taken >= delimiterLength && memcmp(scratch + taken - delimiterLength, delim, delimiterLength) == 0) {
            recordLength = taken - delimiterLength;
            taken = recordLength;
            break;
        }
        if (taken - sPendingDelimiter(scratch, taken, delim, delimiterLength) >= maximum) {
            recordLength = maximum;
            break;
        }
    }

    if (err == aErrNone || err == aErrEOF) {
        // Bytes beyond a full record were only a partial delimiter match: input left
        // in the stream.
        if (taken > recordLength) {
            aErr pushErr = sStreamUnread(stream, scratch + recordLength, taken - recordLength);
            if (pushErr != aErrNone) err = pushErr;
        }
        if (err == aErrNone || err == aErrEOF) {
            memcpy(destination, scratch, recordLength);
            if (length != nullptr) *length = recordLength;
        }
    } else if (err == aErrNotReady) {
        aErr pushErr = sStreamUnread(stream, scratch, taken);
        if (pushErr != aErrNone) err = pushErr;
    }
    free(scratch);
    return err;
}

aErr aStream_WriteRecord(aStreamRef stream, const void* data, size_t length, const void* delimiter,
                         size_t delimiterLength) {
    if (!aVALIDSTREAM(stream) || data == nullptr || delimiter == nullptr || delimiterLength == 0) return aErrParam;
    aErr err = aStream_Write(stream, data, length);
    if (err == aErrNone) err = aStream_Write(stream, delimiter, delimiterLength);
    return err;
}

static aErr sReadCString(aStreamRef stream, char* buffer, size_t bufferSize, const void* delimiter,
                         size_t delimiterLength) {
    if (buffer == nullptr || bufferSize < 2) return aErrParam;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, buffer, &length, bufferSize - 1, delimiter, delimiterLength);
    if (err == aErrNone)
        buffer[length] = '\0';
    else if (err == aErrEOF)
        buffer[0] = '\0';
    return err;
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t bufferSize) {
    const uint8_t terminator = 0;
    return sReadCString(stream, buffer, bufferSize, &terminator, 1);
}

aErr aStream_WriteCString(aStreamRef stream, const char* string) {
    if (string == nullptr) return aErrParam;
    return aStream_Write(stream, string, strlen(string) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t bufferSize, const char* delimiter) {
    if (delimiter == nullptr) return aErrParam;
    return sReadCString(stream, buffer, bufferSize, delimiter, strlen(delimiter));
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string, const char* delimiter) {
    if (string == nullptr || delimiter == nullptr) return aErrParam;
    return aStream_WriteRecord(stream, string, strlen(string), delimiter, strlen(delimiter) + 1);
}

aErr aStream_Flush(aStreamRef source, aStreamRef destination) {
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) return aErrParam;
    if (source->getProc == nullptr || destination->putProc == nullptr) return aErrMode;
    for (;;) {
        uint8_t byte = 0;
        aErr err = source->getProc(&byte, source->ref);
        if (err == aErrEOF) return aErrNone;
        if (err != aErrNone) return err;
        err = destination->putProc(&byte, destination->ref);
        if (err != aErrNone) return err;
    }
}

aErr aStream_Destroy(aStreamRef* stream) {
    if (stream == nullptr) return aErrParam;
    aStreamRef s = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(s)) return aErrParam;
    aErr err = aErrNone;
    if (s->deleteProc != nullptr) err = s->deleteProc(s->ref);
    free(s->pushBack);
    s->check = 0;
    free(s);
    return err;
}

static aErr sFileStreamGet(uint8_t* byte, void* ref) {
    if (ref == nullptr) return aErrIO;
    size_t got = 0;
    aErr err = aFile_Read(static_cast<aFileRef>(ref), byte, 1, &got);
    if (err == aErrNone && got != 1) return aErrEOF;
    return err;
}

static aErr sFileStreamPut(const uint8_t* byte, void* ref) {
    if (ref == nullptr) return aErrIO;
    return aFile_Write(static_cast<aFileRef>(ref), byte, 1, nullptr);
}

static aErr sFileStreamWrite(const uint8_t* data, size_t count, void* ref) {
    if (ref == nullptr) return aErrIO;
    size_t written = 0;
    aErr err = aFile_Write(static_cast<aFileRef>(ref), data, count, &written);
    if (err == aErrNone && written != count) return aErrIO;
    return err;
}

static aErr sFileStreamDelete(void* ref) {
    if (ref == nullptr) return aErrIO;
    aFileRef file = static_cast<aFileRef>(ref);
    return aFile_Close(&file);
}

// A file always has its next byte (or its end) at hand.
static aErr sFileStreamWait(uint32_t, void* ref) {
    return ref == nullptr ? aErrIO : aErrNone;
}

static aErr sCreateFileStream(const char* path, aFileMode mode, aStreamRef* stream) {
    if (stream == nullptr) return aErrResource;
    *stream = nullptr;
    if (path == nullptr) return aErrResource;
    aFileRef file = aFile_Open(path, mode);
    if (file == nullptr) return aErrResource;
    aStreamRef s = mode == aFileModeRead
                       ? aStream_Create(sFileStreamGet, nullptr, nullptr, sFileStreamDelete, file)
                       : aStream_Create(nullptr, sFileStreamPut, sFileStreamWrite, sFileStreamDelete, file);
    if (s == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    if (mode == aFileModeRead) aStream_SetWaitProc(s, sFileStreamWait);
    *stream = s;
    return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
    return sCreateFileStream(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
    return sCreateFileStream(path, aFileModeWrite, stream);
}
