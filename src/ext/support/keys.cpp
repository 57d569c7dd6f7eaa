// Rule keys: how values are written (see keys.hpp).
#include "keys.hpp"

#include <cmath>

namespace norvane {
namespace {

// Value tags: numbers share one class (an integral float is written as the
// integer it equals), text and blobs each their own.
constexpr unsigned char kInteger = 1;
constexpr unsigned char kReal = 2;
constexpr unsigned char kText = 3;
constexpr unsigned char kBlob = 4;

void put_integer(Bytes& out, int64_t i) {
    out.push_back(kInteger);
    const uint64_t u = static_cast<uint64_t>(i);
    put_varint(out, (u << 1) ^ (i < 0 ? ~uint64_t{0} : 0));  // zigzag: small magnitudes stay short
}

void put_chunk(Bytes& out, unsigned char tag, const char* data, Py_ssize_t size) {
    out.push_back(tag);
    put_varint(out, static_cast<uint64_t>(size));
    out.insert(out.end(), data, data + size);
}

}  // namespace

Encoded encode_value(PyObject* v, Bytes& out) {
    if (v == Py_None) {
        return Encoded::null;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || (i == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return Encoded::foreign;
        }
        put_integer(out, i);
        return Encoded::value;
    }
    if (PyFloat_CheckExact(v)) {
        const double d = PyFloat_AS_DOUBLE(v);
        if (std::isnan(d)) {
            return Encoded::foreign;
        }
        // -2**63 <= d < 2**63 and integral: equal to exactly one integer.
        if (d >= -9223372036854775808.0 && d < 9223372036854775808.0 && d == std::floor(d)) {
            put_integer(out, static_cast<int64_t>(d));
            return Encoded::value;
        }
        out.push_back(kReal);
        unsigned char raw[sizeof d];
        std::memcpy(raw, &d, sizeof d);
        out.insert(out.end(), raw, raw + sizeof d);
        return Encoded::value;
    }
    if (PyUnicode_CheckExact(v)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(v, &size);
        if (text == nullptr) {
            PyErr_Clear();
            return Encoded::foreign;
        }
        put_chunk(out, kText, text, size);
        return Encoded::value;
    }
    if (PyBytes_CheckExact(v)) {
        put_chunk(out, kBlob, PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v));
        return Encoded::value;
    }
    return Encoded::foreign;
}

Owned decode_value(const unsigned char*& p) {
    const unsigned char tag = *p++;
    switch (tag) {
        case kInteger: {
            const uint64_t z = get_varint(p);
            const uint64_t u = (z >> 1) ^ (~(z & 1) + 1);
            return steal(PyLong_FromLongLong(static_cast<long long>(u)));
        }
        case kReal: {
            double d = 0;
            std::memcpy(&d, p, sizeof d);
            p += sizeof d;
            return steal(PyFloat_FromDouble(d));
        }
        default: {
            const auto size = static_cast<Py_ssize_t>(get_varint(p));
            const char* data = reinterpret_cast<const char*>(p);
            p += size;
            return steal(tag == kText ? PyUnicode_DecodeUTF8(data, size, nullptr)
                                      : PyBytes_FromStringAndSize(data, size));
        }
    }
}

bool encode_keys(const std::vector<GroupRule>& rules, PyObject* row, Py_ssize_t first,
                 const std::vector<Py_ssize_t>& columns, Bytes& out) {
    Bytes one;
    for (const GroupRule& rule : rules) {
        one.clear();
        bool null = false;
        for (size_t pick : rule.picks) {
            const Py_ssize_t at = first + columns[pick];
            PyObject* value = PyTuple_GET_ITEM(row, at);
            const Encoded e = encode_value(value, one);
            if (e == Encoded::foreign) {
                return false;
            }
            null = null || e == Encoded::null;
        }
        if (null) {
            put_varint(out, 0);
        } else {
            put_varint(out, one.size());
            out.insert(out.end(), one.begin(), one.end());
        }
    }
    return true;
}

namespace {

// A JSON string of UTF-8 text: quotes, backslashes and control characters
// escaped, everything else as it is. False for a NUL, which SQLite's text
// would end at.
bool put_json_text(std::string& out, const char* text, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0) {
            return false;
        }
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            out.append("\\u00");
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
    return true;
}

}  // namespace

bool key_as_json(const unsigned char* key, size_t size, std::string& out) {
    const size_t start = out.size();
    out.push_back('[');
    const unsigned char* p = key;
    bool carried = true;
    while (carried && p < key + size) {
        if (p != key) {
            out.push_back(',');
        }
        const unsigned char tag = *p++;
        if (tag == kInteger) {
            const uint64_t z = get_varint(p);
            const auto i = static_cast<int64_t>((z >> 1) ^ (~(z & 1) + 1));
            carried = i != std::numeric_limits<int64_t>::min();
            out.append(std::to_string(i));
        } else if (tag == kReal) {
            p += sizeof(double);
            carried = false;
        } else {
            const auto length = static_cast<size_t>(get_varint(p));
            carried = tag == kText && put_json_text(out, reinterpret_cast<const char*>(p), length);
            p += length;
        }
    }
    if (!carried) {
        out.resize(start);
        return false;
    }
    out.push_back(']');
    return true;
}

Owned key_values(const unsigned char* key, size_t size) {
    Owned values = steal(PyList_New(0));
    const unsigned char* p = key;
    while (values && p < key + size) {
        Owned value = decode_value(p);
        if (!value || PyList_Append(values.get(), value.get()) < 0) {
            return {};
        }
    }
    return values;
}

}  // namespace norvane
