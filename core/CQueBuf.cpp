#include "CQueBuf.h"

#include <cstdlib>
#include <new>

CQueBuf::CQueBuf(int alignment)
    : m_iAlignment(alignment > 0 ? alignment : 0)
{
}

CQueBuf::~CQueBuf()
{
    release();
}

void CQueBuf::release()
{
    std::free(m_pAlloc);
    m_pAlloc = nullptr;
    m_pData = nullptr;
    m_iCapacity = 0;
    m_iLength = 0;
    m_iStartOffset = 0;
}

int CQueBuf::ensureCapacity(int n)
{
    if (n <= 0)
        return -1;
    if (m_iCapacity >= n)
        return 1;

    const size_t extra = m_iAlignment > 0 ? size_t(m_iAlignment) - 1 : 0;
    auto *block = static_cast<uint8_t *>(std::malloc(size_t(n) + extra));
    if (!block)
        return -1;

    std::free(m_pAlloc);
    m_pAlloc = block;
    if (m_iAlignment > 0) {
        const uintptr_t a = uintptr_t(m_iAlignment);
        m_pData = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(block) + a - 1) / a * a);
    } else {
        m_pData = block;
    }
    m_iCapacity = n;
    m_iLength = 0;
    m_iStartOffset = 0;
    return 0;
}

bool CQueBuf::setLength(int length)
{
    if (length < 0 || length > m_iCapacity - m_iStartOffset)
        return false;
    m_iLength = length;
    return true;
}

bool CQueBuf::setStartOffset(int offset)
{
    if (offset < 0 || offset > m_iCapacity)
        return false;
    m_iStartOffset = offset;
    if (m_iLength > m_iCapacity - m_iStartOffset)
        m_iLength = m_iCapacity - m_iStartOffset;
    return true;
}
