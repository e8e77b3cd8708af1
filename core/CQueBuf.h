#pragma once
// Growable byte buffer inside every media packet and camera frame buffer.
// It reallocates only when a payload larger than its capacity arrives, so a
// buffer reused for a whole recording allocates once.
//
// Not thread-safe: a buffer belongs to one thread at a time (the one holding
// the packet or frame it is part of).

#include <cstdint>

class CQueBuf {
public:
    /// alignment <= 0: no alignment; otherwise the data start is rounded up
    /// to a multiple of it (a power of two is expected).
    explicit CQueBuf(int alignment = 0);
    virtual ~CQueBuf();

    CQueBuf(const CQueBuf &) = delete;
    CQueBuf &operator=(const CQueBuf &) = delete;

    /// Makes at least n bytes usable at the data start.
    /// Returns -1 for n <= 0 or when the allocation fails (nothing changes),
    /// 1 when the capacity already suffices (contents and length kept),
    /// 0 after a new block was allocated (old contents gone, length 0).
    int ensureCapacity(int n);

    uint8_t *dataStart() const { return m_pData; }
    int capacity() const { return m_iCapacity; }
    int length() const { return m_iLength; }
    int alignment() const { return m_iAlignment; }
    int startOffset() const { return m_iStartOffset; }

    /// Gives the block back (capacity, length and start offset 0): for a
    /// buffer that waits idle between recordings.
    void release();

    /// Sets the valid length; refused (false) outside [0, capacity - start offset].
    bool setLength(int length);
    /// Sets the start offset; refused (false) outside [0, capacity].
    bool setStartOffset(int offset);

private:
    int m_iCapacity = 0;
    int m_iLength = 0;
    int m_iAlignment = 0;
    uint8_t *m_pAlloc = nullptr;
    uint8_t *m_pData = nullptr;
    int m_iStartOffset = 0;
};
