// Not a Windows call: an exclusive lock of a lock file (flock on NAME, made when missing and never
// removed, as removing it would let two writers lock two files). A process takes a lock file once:
// every holder in the process shares its one descriptor (two descriptors of one process would shut
// each other out), threads of the process wait for each other, and a thread that holds it may take it
// again.
#pragma once

#include <chrono>
#include <memory>
#include <string>

class FileLock
{
public:
    // Waits up to wait for the lock. A lock file that cannot be opened (its folder is missing or not
    // writable) leaves nothing to lock: Held() is true, and a write into that folder fails on its own.
    FileLock(const std::string& lockFile, std::chrono::milliseconds wait);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // False when the wait ran out with the lock held elsewhere.
    bool Held() const { return mHeld; }

    struct Slot; // the process's state of one lock file

private:
    std::shared_ptr<Slot> mSlot;
    bool mHeld = false;
};
