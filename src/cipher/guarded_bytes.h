// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringEncoder>
#include <QStringView>

#include <sodium.h>

#include <cstddef>

namespace svw {

// Secret bytes (a password in UTF-8) in libsodium's guarded memory: kept out
// of swap, fenced by guard pages and wiped when they go. data() is null when
// no guarded memory was left.
class GuardedBytes
{
public:
    explicit GuardedBytes(std::size_t capacity)
        : m_data(static_cast<unsigned char*>(sodium_malloc(capacity ? capacity : 1))),
          m_capacity(m_data ? (capacity ? capacity : 1) : 0)
    {}
    // The UTF-8 of `text`, converted straight into guarded memory.
    static GuardedBytes utf8(QStringView text)
    {
        GuardedBytes out(
            std::size_t(QStringEncoder(QStringEncoder::Utf8).requiredSpace(text.size())));
        out.assignUtf8(text);
        return out;
    }
    // Replaces the content with the UTF-8 of `text` when it fits; false
    // (and empty) when it does not.
    bool assignUtf8(QStringView text)
    {
        clear();
        QStringEncoder encoder(QStringEncoder::Utf8);
        if (!m_data || std::size_t(encoder.requiredSpace(text.size())) > m_capacity)
            return false;
        char* end = encoder.appendToBuffer(chars(), text);
        m_size = std::size_t(end - chars());
        return true;
    }
    void clear()
    {
        if (m_data)
            sodium_memzero(m_data, m_capacity);
        m_size = 0;
    }
    ~GuardedBytes() { sodium_free(m_data); }
    GuardedBytes(GuardedBytes&& other) noexcept
        : m_data(other.m_data), m_capacity(other.m_capacity), m_size(other.m_size)
    {
        other.m_data = nullptr;
        other.m_capacity = 0;
        other.m_size = 0;
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    GuardedBytes& operator=(GuardedBytes&&) = delete;

    unsigned char* data() const { return m_data; }
    char* chars() const { return reinterpret_cast<char*>(m_data); }
    std::size_t size() const { return m_size; }

private:
    unsigned char* m_data;
    std::size_t m_capacity = 0;
    std::size_t m_size = 0;
};

} // namespace svw
