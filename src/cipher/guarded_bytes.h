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
        : m_data(static_cast<unsigned char*>(sodium_malloc(capacity ? capacity : 1)))
    {}
    // The UTF-8 of `text`, converted straight into guarded memory.
    static GuardedBytes utf8(QStringView text)
    {
        QStringEncoder encoder(QStringEncoder::Utf8);
        GuardedBytes out(std::size_t(encoder.requiredSpace(text.size())));
        if (out.m_data) {
            char* end = encoder.appendToBuffer(out.chars(), text);
            out.m_size = std::size_t(end - out.chars());
        }
        return out;
    }
    ~GuardedBytes() { sodium_free(m_data); }
    GuardedBytes(GuardedBytes&& other) noexcept : m_data(other.m_data), m_size(other.m_size)
    {
        other.m_data = nullptr;
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
    std::size_t m_size = 0;
};

} // namespace svw
