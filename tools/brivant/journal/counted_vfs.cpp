#include "journal/counted_vfs.h"

#include <atomic>
#include <mutex>
#include <stdexcept>

#include <sqlite3.h>

namespace brivant::tool {

namespace {

std::atomic<std::uint64_t> written{0};
sqlite3_vfs* real = nullptr;
sqlite3_vfs counted{};
sqlite3_io_methods methods{};

// The real file follows ours in the memory SQLite gives for a file.
struct CountedFile {
    sqlite3_file base;
    sqlite3_file* inner() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

sqlite3_file* innerOf(sqlite3_file* file) {
    return reinterpret_cast<CountedFile*>(file)->inner();
}

int countedWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    const int rc = innerOf(file)->pMethods->xWrite(innerOf(file), data, amount, offset);
    if (rc == SQLITE_OK) {
        written.fetch_add(static_cast<std::uint64_t>(amount), std::memory_order_relaxed);
    }
    return rc;
}

int countedClose(sqlite3_file* file) {
    sqlite3_file* inner = innerOf(file);
    const int rc = inner->pMethods != nullptr ? inner->pMethods->xClose(inner) : SQLITE_OK;
    file->pMethods = nullptr;
    return rc;
}

// Every other method goes straight to the real file.
#define BRIVANT_FORWARD(name, signature, call)                                                      \
    int name signature {                                                                            \
        return innerOf(file)->pMethods->call;                                                       \
    }
BRIVANT_FORWARD(countedRead, (sqlite3_file * file, void* data, int amount, sqlite3_int64 offset),
                xRead(innerOf(file), data, amount, offset))
BRIVANT_FORWARD(countedTruncate, (sqlite3_file * file, sqlite3_int64 size), xTruncate(innerOf(file), size))
BRIVANT_FORWARD(countedSync, (sqlite3_file * file, int flags), xSync(innerOf(file), flags))
BRIVANT_FORWARD(countedFileSize, (sqlite3_file * file, sqlite3_int64* size), xFileSize(innerOf(file), size))
BRIVANT_FORWARD(countedLock, (sqlite3_file * file, int level), xLock(innerOf(file), level))
BRIVANT_FORWARD(countedUnlock, (sqlite3_file * file, int level), xUnlock(innerOf(file), level))
BRIVANT_FORWARD(countedCheckLock, (sqlite3_file * file, int* out), xCheckReservedLock(innerOf(file), out))
BRIVANT_FORWARD(countedControl, (sqlite3_file * file, int op, void* arg), xFileControl(innerOf(file), op, arg))
BRIVANT_FORWARD(countedSectorSize, (sqlite3_file * file), xSectorSize(innerOf(file)))
BRIVANT_FORWARD(countedCharacteristics, (sqlite3_file * file), xDeviceCharacteristics(innerOf(file)))
BRIVANT_FORWARD(countedShmMap, (sqlite3_file * file, int page, int size, int extend, void volatile** out),
                xShmMap(innerOf(file), page, size, extend, out))
BRIVANT_FORWARD(countedShmLock, (sqlite3_file * file, int offset, int n, int flags),
                xShmLock(innerOf(file), offset, n, flags))
BRIVANT_FORWARD(countedShmUnmap, (sqlite3_file * file, int remove), xShmUnmap(innerOf(file), remove))
BRIVANT_FORWARD(countedFetch, (sqlite3_file * file, sqlite3_int64 offset, int amount, void** out),
                xFetch(innerOf(file), offset, amount, out))
BRIVANT_FORWARD(countedUnfetch, (sqlite3_file * file, sqlite3_int64 offset, void* page),
                xUnfetch(innerOf(file), offset, page))
#undef BRIVANT_FORWARD

void countedShmBarrier(sqlite3_file* file) {
    innerOf(file)->pMethods->xShmBarrier(innerOf(file));
}

int countedOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    sqlite3_file* inner = reinterpret_cast<CountedFile*>(file)->inner();
    int rc = real->xOpen(real, name, inner, flags, outFlags);
    if (rc == SQLITE_OK && inner->pMethods != nullptr && inner->pMethods->iVersion < 3) {
        // Every file SQLite's own layers open has the methods of version 3.
        inner->pMethods->xClose(inner);
        inner->pMethods = nullptr;
        rc = SQLITE_CANTOPEN;
    }
    // Our methods only while the real file is open: SQLite closes a file
    // whose methods are set, even one whose open failed.
    file->pMethods = inner->pMethods != nullptr ? &methods : nullptr;
    return rc;
}

void registerCounted() {
    real = sqlite3_vfs_find(nullptr);
    if (real == nullptr) {
        throw std::runtime_error("SQLite has no file layer");
    }
    methods.iVersion = 3;
    methods.xClose = countedClose;
    methods.xRead = countedRead;
    methods.xWrite = countedWrite;
    methods.xTruncate = countedTruncate;
    methods.xSync = countedSync;
    methods.xFileSize = countedFileSize;
    methods.xLock = countedLock;
    methods.xUnlock = countedUnlock;
    methods.xCheckReservedLock = countedCheckLock;
    methods.xFileControl = countedControl;
    methods.xSectorSize = countedSectorSize;
    methods.xDeviceCharacteristics = countedCharacteristics;
    methods.xShmMap = countedShmMap;
    methods.xShmLock = countedShmLock;
    methods.xShmBarrier = countedShmBarrier;
    methods.xShmUnmap = countedShmUnmap;
    methods.xFetch = countedFetch;
    methods.xUnfetch = countedUnfetch;
    counted = *real;
    counted.zName = "brivant-counted";
    counted.szOsFile = static_cast<int>(sizeof(CountedFile)) + real->szOsFile;
    counted.xOpen = countedOpen;
    counted.pNext = nullptr;
    if (sqlite3_vfs_register(&counted, 0) != SQLITE_OK) {
        throw std::runtime_error("cannot register the journal's file layer");
    }
}

} // namespace

const char* countedVfsName() {
    static std::once_flag once;
    std::call_once(once, registerCounted);
    return counted.zName;
}

std::uint64_t countedBytesWritten() {
    return written.load(std::memory_order_relaxed);
}

} // namespace brivant::tool
