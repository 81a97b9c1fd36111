#pragma once
// ICaptureTap: sees every byte the capture has stored, in order, right after it is in the file
// (or held for it). The capture thread calls it: it must return at once, never wait on a peer,
// a name or a lock held for long, and never change what the file gets.
#include <cstddef>

class ICaptureTap {
public:
    virtual ~ICaptureTap() = default;
    virtual void Captured(const char* data, size_t size) = 0;
};
