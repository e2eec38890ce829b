#include "Base/ValueCodec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace sorvel {

namespace {

enum Tag : std::uint8_t {
    kNull = 0,
    kFalse = 1,
    kTrue = 2,
    kInt64 = 3,
    kUInt64 = 4,
    kDouble = 5,
    kString = 6,
    kBytes = 7,
    kArray = 8,
    kMap = 9,
};

class Writer {
  public:
    explicit Writer(Value::Bytes& out) : out_(out) {}

    bool value(const Value& v, int depth) {
        switch (v.type()) {
            case Value::Type::Null:
                out_.push_back(kNull);
                return true;
            case Value::Type::Bool:
                out_.push_back(*v.getBool() ? kTrue : kFalse);
                return true;
            case Value::Type::Int64: {
                const auto i = static_cast<std::uint64_t>(*v.getInt64());
                out_.push_back(kInt64);
                varint((i << 1) ^ (*v.getInt64() < 0 ? ~std::uint64_t{0} : 0));
                return true;
            }
            case Value::Type::UInt64:
                out_.push_back(kUInt64);
                varint(*v.getUInt64());
                return true;
            case Value::Type::Double: {
                out_.push_back(kDouble);
                auto bits = std::bit_cast<std::uint64_t>(*v.getDouble());
                for (int i = 0; i < 8; ++i, bits >>= 8) {
                    out_.push_back(static_cast<std::uint8_t>(bits));
                }
                return true;
            }
            case Value::Type::String:
                out_.push_back(kString);
                text(*v.getString());
                return true;
            case Value::Type::Bytes: {
                const auto& b = *v.getBytes();
                out_.push_back(kBytes);
                varint(b.size());
                out_.insert(out_.end(), b.begin(), b.end());
                return true;
            }
            case Value::Type::Array:
                if (depth >= ValueCodec::kMaxDepth) {
                    return false;
                }
                out_.push_back(kArray);
                varint(v.getArray()->size());
                for (const Value& e : *v.getArray()) {
                    if (!value(e, depth + 1)) {
                        return false;
                    }
                }
                return true;
            case Value::Type::Map:
                if (depth >= ValueCodec::kMaxDepth) {
                    return false;
                }
                out_.push_back(kMap);
                varint(v.getMap()->size());
                for (const auto& [k, e] : *v.getMap()) {
                    text(k);
                    if (!value(e, depth + 1)) {
                        return false;
                    }
                }
                return true;
        }
        return false;
    }

  private:
    void varint(std::uint64_t n) {
        while (n >= 0x80) {
            out_.push_back(static_cast<std::uint8_t>(n | 0x80));
            n >>= 7;
        }
        out_.push_back(static_cast<std::uint8_t>(n));
    }

    void text(const std::string& s) {
        varint(s.size());
        out_.insert(out_.end(), s.begin(), s.end());
    }

    Value::Bytes& out_;
};

class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> in)
        : p_(in.data()), end_(in.data() + in.size()) {}

    bool atEnd() const { return p_ == end_; }
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

    bool byte(std::uint8_t& b) {
        if (p_ == end_) {
            return false;
        }
        b = *p_++;
        return true;
    }

    bool varint(std::uint64_t& n) {
        n = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            std::uint8_t b;
            if (!byte(b)) {
                return false;
            }
            // The tenth byte may only carry the top bit of a 64-bit number.
            if (shift == 63 && b > 1) {
                return false;
            }
            n |= static_cast<std::uint64_t>(b & 0x7f) << shift;
            if ((b & 0x80) == 0) {
                // A zero final byte after others means padding: not canonical.
                return b != 0 || shift == 0;
            }
        }
        return false;
    }

    // A length that the remaining input can hold.
    bool length(std::size_t& n, std::size_t minBytesPerItem) {
        std::uint64_t v;
        if (!varint(v) || v > remaining() / minBytesPerItem) {
            return false;
        }
        n = static_cast<std::size_t>(v);
        return true;
    }

    bool text(std::string& s) {
        std::size_t n;
        if (!length(n, 1)) {
            return false;
        }
        s.assign(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return true;
    }

    bool value(Value& out, int depth) {
        std::uint8_t tag;
        if (!byte(tag)) {
            return false;
        }
        switch (tag) {
            case kNull:
                out = Value();
                return true;
            case kFalse:
            case kTrue:
                out = Value(tag == kTrue);
                return true;
            case kInt64: {
                std::uint64_t z;
                if (!varint(z)) {
                    return false;
                }
                out = Value(static_cast<std::int64_t>((z >> 1) ^ (~(z & 1) + 1)));
                return true;
            }
            case kUInt64: {
                std::uint64_t u;
                if (!varint(u)) {
                    return false;
                }
                out = Value(u);
                return true;
            }
            case kDouble: {
                if (remaining() < 8) {
                    return false;
                }
                std::uint64_t bits = 0;
                for (int i = 7; i >= 0; --i) {
                    bits = (bits << 8) | p_[i];
                }
                p_ += 8;
                out = Value(std::bit_cast<double>(bits));
                return true;
            }
            case kString: {
                std::string s;
                if (!text(s)) {
                    return false;
                }
                out = Value(std::move(s));
                return true;
            }
            case kBytes: {
                std::size_t n;
                if (!length(n, 1)) {
                    return false;
                }
                out = Value(Value::Bytes(p_, p_ + n));
                p_ += n;
                return true;
            }
            case kArray: {
                std::size_t n;
                // Every element takes at least its tag byte.
                if (depth >= ValueCodec::kMaxDepth || !length(n, 1)) {
                    return false;
                }
                Value::Array items;
                items.reserve(std::min<std::size_t>(n, 4096));
                for (std::size_t i = 0; i < n; ++i) {
                    if (!value(items.emplace_back(), depth + 1)) {
                        return false;
                    }
                }
                out = Value(std::move(items));
                return true;
            }
            case kMap: {
                std::size_t n;
                // Every entry takes at least a key length and a tag byte.
                if (depth >= ValueCodec::kMaxDepth || !length(n, 2)) {
                    return false;
                }
                Value::Map entries;
                std::string key;
                for (std::size_t i = 0; i < n; ++i) {
                    if (!text(key) || (i > 0 && !(entries.rbegin()->first < key))) {
                        return false;
                    }
                    auto it = entries.emplace_hint(entries.end(), std::move(key), Value());
                    if (!value(it->second, depth + 1)) {
                        return false;
                    }
                }
                out = Value(std::move(entries));
                return true;
            }
            default:
                return false;
        }
    }

  private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

}  // namespace

std::optional<Value::Bytes> ValueCodec::encode(const Value& value) {
    Value::Bytes out;
    out.push_back(kVersion);
    if (!Writer(out).value(value, 0)) {
        return std::nullopt;
    }
    return out;
}

std::optional<Value> ValueCodec::decode(std::span<const std::uint8_t> bytes) noexcept {
    try {
        Reader in(bytes);
        std::uint8_t version;
        Value out;
        if (!in.byte(version) || version != kVersion || !in.value(out, 0) || !in.atEnd()) {
            return std::nullopt;
        }
        return out;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace sorvel
