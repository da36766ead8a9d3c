// Little-endian byte codecs: the one place where the engine's file formats turn integers and
// floats into bytes and back. Readers are bounded cursors that never read past their span.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace qorel {

static_assert(std::endian::native == std::endian::little, "the file formats assume a little-endian host");

// The loader's text for a file or record that ends before a field it needs.
inline constexpr const char* kUnexpectedEof = "failed to fill whole buffer";

// Appends little-endian fields to a growable byte buffer.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}

    void u8(std::uint8_t v) { out_.push_back(v); }
    void u32(std::uint32_t v) { raw(&v, 4); }
    void u64(std::uint64_t v) { raw(&v, 8); }
    void f32(float v) { raw(&v, 4); }
    void floats(std::span<const float> v) { raw(v.data(), v.size() * 4); }
    void bytes(std::span<const std::uint8_t> v) { raw(v.data(), v.size()); }
    void bytes(std::string_view v) { raw(v.data(), v.size()); }
    // uint32 length, then the bytes.
    void string(std::string_view s) {
        u32(static_cast<std::uint32_t>(s.size()));
        bytes(s);
    }
    void raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }

private:
    std::vector<std::uint8_t>& out_;
};

// Reads little-endian fields from a span; every read checks the bytes that remain first and
// throws the unexpected-end-of-file error (a damaged file) when they are too few.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t remaining() const { return data_.size() - pos_; }
    std::size_t position() const { return pos_; }
    bool at_end() const { return pos_ == data_.size(); }

    // True when `count` items of `size` bytes each still fit, without overflow.
    bool fits(std::uint64_t count, std::uint64_t size) const {
        return size == 0 || count <= remaining() / size;
    }

    std::uint8_t u8() {
        need(1);
        return data_[pos_++];
    }
    std::uint32_t u32() {
        std::uint32_t v;
        copy(&v, 4);
        return v;
    }
    std::uint64_t u64() {
        std::uint64_t v;
        copy(&v, 8);
        return v;
    }
    float f32() {
        float v;
        copy(&v, 4);
        return v;
    }
    std::span<const std::uint8_t> bytes(std::size_t n) {
        need(n);
        auto s = data_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    void floats(float* out, std::size_t n) {
        if (!fits(n, 4)) eof();
        if (n) copy(out, n * 4);
    }
    std::span<const std::uint8_t> rest() { return bytes(remaining()); }

    [[noreturn]] static void eof() { throw QorelError::corrupt_file(kUnexpectedEof); }

private:
    void need(std::size_t n) const {
        if (n > remaining()) eof();
    }
    void copy(void* out, std::size_t n) {
        need(n);
        std::memcpy(out, data_.data() + pos_, n);
        pos_ += n;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

}  // namespace qorel
