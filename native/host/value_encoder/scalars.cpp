// Numbers, text, bytes and the objects shown by their repr.
#include "common/compat.hpp"
#include "common/msgpack_cursor.hpp"
#include "host/value_encoder/encoder.hpp"
#include "host/value_encoder/text.hpp"
#include "host/value_encoder/type_name.hpp"
#include "host/value_encoder/type_name_cache.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif
#include <string_view>

namespace nefa::value_encoder {

namespace msgpack = nefa::msgpack;

namespace {

// A cut form is [kept part, count left].
constexpr std::size_t cut_array_header_size = msgpack::header_size(2);

int hex_digits_of(std::uintptr_t address) {
    return address == 0 ? 1 : static_cast<int>((std::bit_width(address) + 3) / 4);
}

// The characters put_address writes.
std::size_t address_size(std::uintptr_t address) { return 2 + static_cast<std::size_t>(hex_digits_of(address)); }

// "0x" and the lowercase hex digits of `address`, as the C library's "%p"
// (which object.__repr__ uses) writes them; returns the end. All sixteen
// digits are made at once, the leading zeros then left out.
template <class Char>
Char* put_address(Char* at, std::uintptr_t address) {
    const int digits = hex_digits_of(address);
    *at++ = '0';
    *at++ = 'x';
    alignas(16) char all[16];
#if defined(__SSE2__) && defined(__x86_64__)
    // The address's bytes, highest first, each split into its two nibbles.
    const __m128i bytes = _mm_cvtsi64_si128(static_cast<long long>(__builtin_bswap64(address)));
    const __m128i low_nibble = _mm_set1_epi8(0x0f);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble);
    const __m128i low = _mm_and_si128(bytes, low_nibble);
    const __m128i nibbles = _mm_unpacklo_epi8(high, low);
    const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
    _mm_store_si128(reinterpret_cast<__m128i*>(all), _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters));
#else
    constexpr char hex[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i, address >>= 4) all[i] = hex[address & 0xf];
#endif
    msgpack::copy_bytes(reinterpret_cast<std::uint8_t*>(at), reinterpret_cast<const std::uint8_t*>(all + 16 - digits),
                        static_cast<std::size_t>(digits));
    return at + digits;
}

constexpr std::string_view object_at = " object at ";

bool is_ascii(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// The repr form [type_name, "<text_name object at ADDRESS>"] up to its
// address, for an address of `address_size` characters, written at `at`;
// returns the end. The whole form takes at most form_bound bytes.
std::size_t form_payload(std::size_t type_name_size, std::size_t text_name_size, std::size_t address_size) {
    const std::size_t text = text_name_size + 2 + object_at.size() + address_size;
    return msgpack::header_size(2) + msgpack::str_size(type_name_size) + msgpack::str_size(text);
}

std::size_t form_bound(std::size_t type_name_size, std::size_t text_name_size, std::size_t address_size) {
    return 6 + form_payload(type_name_size, text_name_size, address_size);  // 6: the largest ext header
}

std::uint8_t* put_form_head(std::uint8_t* at, std::string_view type_name, std::string_view text_name,
                            std::size_t address_size) {
    msgpack::Cursor cursor(
        Output::put_ext_header(at, form_payload(type_name.size(), text_name.size(), address_size), Ext::repr));
    cursor.array_header(2);
    cursor.str_header(type_name.size());
    cursor.block(type_name.data(), type_name.size());
    cursor.str_header(text_name.size() + 2 + object_at.size() + address_size);
    cursor.byte('<');
    cursor.block(text_name.data(), text_name.size());
    cursor.block(object_at.data(), object_at.size());
    return cursor.position();
}

// The head of the repr form of an instance of `name`'s class, kept in the
// entry for addresses of `address_size` characters; false when it does not
// fit there.
bool make_form(CachedTypeName& name, std::size_t address_size) {
    if (name.form_address_size == address_size) return true;
    if (form_bound(name.size, name.size, address_size) - address_size - 1 > sizeof name.form) return false;
    name.form_size =
        static_cast<std::uint32_t>(put_form_head(name.form, name.name(), name.name(), address_size) - name.form);
    name.form_address_size = static_cast<std::uint32_t>(address_size);
    return true;
}

}  // namespace

void Encoder::encode_int(PyObject* value) {
    if (std::int64_t compact = 0; compat::compact_int_value(value, &compact)) return out_.integer(compact);
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (small == -1 && PyErr_Occurred()) {
            absorb_error();
            return write_unprintable(Py_TYPE(value));
        }
        return out_.integer(small);
    }
    if (overflow > 0) {
        const unsigned long long big = PyLong_AsUnsignedLongLong(value);
        if (!(big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return out_.uint(big);
        PyErr_Clear();
    }
    encode_big_int(value);
}

void Encoder::encode_big_int(PyObject* value) {
    const std::size_t bits = _PyLong_NumBits(value);
    if (bits == static_cast<std::size_t>(-1)) {
        absorb_error();
        return write_unprintable(Py_TYPE(value));
    }
    const std::size_t mark = out_.open(kExtHead);
    // Decimal text costs time quadratic in its length: only make it when it
    // may fit. |value| >= 2**(bits-1), so it has at least this many digits
    // (the constant is just under log10(2)).
    const bool negative = _PyLong_Sign(value) < 0;
    const double fewest_chars = std::floor(static_cast<double>(bits - 1) * 0.30102999) + 1 + (negative ? 1 : 0);
    bool written = false;
    if (fewest_chars <= static_cast<double>(budget_.chars)) {
        // The base type's own conversion, whatever a subclass defines.
        Ref text = Ref::steal(PyLong_Type.tp_repr(value));
        if (!text) {
            absorb_error();  // e.g. over sys.get_int_max_str_digits()
        } else if (static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.get())) <= budget_.chars) {
            write_text(out_, text.get(), PyUnicode_GET_LENGTH(text.get()));
            written = true;
        }
    }
    if (!written) out_.uint(bits);
    out_.close(mark, {Header::Kind::none, 0, Ext::big_int});
}

void Encoder::encode_str(PyObject* value) {
    // Most strs: ASCII, stored in the object itself, within the budget.
    if (PyUnicode_IS_COMPACT_ASCII(value)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        if (static_cast<std::size_t>(length) <= budget_.chars) {
            if (std::uint8_t* p = out_.str_space(static_cast<std::size_t>(length))) {
                msgpack::copy_bytes(p, static_cast<const std::uint8_t*>(PyUnicode_DATA(value)),
                                    static_cast<std::size_t>(length));
            }
            return;
        }
    }
    if (compat::unicode_ready(value) < 0) {
        absorb_error();
        return write_unprintable(Py_TYPE(value));
    }
    write_cut_text(value);
}

// The cut forms are sized before they are written, so that the kept prefix
// is copied once, straight to its place.
void Encoder::write_cut_text(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const auto limit = static_cast<Py_ssize_t>(budget_.chars);
    if (length <= limit) return write_text(out_, text, length);
    const std::size_t text_bytes = text_size(text, limit);
    const auto left = static_cast<std::uint64_t>(length - limit);
    std::uint8_t* p =
        out_.ext_space(cut_array_header_size + msgpack::str_size(text_bytes) + msgpack::uint_size(left), Ext::cut);
    if (p == nullptr) return;
    msgpack::Cursor head(p);
    head.array_header(2);
    head.str_header(text_bytes);
    msgpack::Cursor(put_text(head.position(), text, limit)).uint(left);
}

void Encoder::encode_bytes(PyObject* value, std::optional<Ext> wrapper) {
    const bool is_bytes = PyBytes_Check(value);
    const char* data = is_bytes ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value);
    const auto length = static_cast<std::size_t>(is_bytes ? PyBytes_GET_SIZE(value) : PyByteArray_GET_SIZE(value));
    const std::size_t outer = wrapper ? out_.open(kExtHead) : 0;
    if (length <= budget_.bytes) {
        out_.bin(data, length);
    } else {
        const std::size_t left = length - budget_.bytes;
        const std::size_t bin_size = out_.bin_size(budget_.bytes);
        if (std::uint8_t* p = out_.ext_space(cut_array_header_size + bin_size + msgpack::uint_size(left), Ext::cut)) {
            msgpack::Cursor head(p);
            head.array_header(2);
            p = out_.put_bin(head.position(), data, budget_.bytes);
            msgpack::Cursor(p).uint(left);
        }
    }
    if (wrapper) out_.close(outer, {Header::Kind::none, 0, *wrapper});
}

bool Encoder::write_repr_form(std::string_view type_name, std::string_view text_name, std::size_t text_name_chars,
                              std::string_view address) {
    if (text_name_chars + 2 + object_at.size() + address.size() > budget_.chars) return false;
    std::uint8_t* p = out_.extend(form_bound(type_name.size(), text_name.size(), address.size()));
    if (p == nullptr) return true;  // out of memory: the output is failed
    p = put_form_head(p, type_name, text_name, address.size());
    msgpack::copy_bytes(p, reinterpret_cast<const std::uint8_t*>(address.data()), address.size());
    p += address.size();
    *p++ = '>';
    out_.advance_to(p);  // the ext header may be shorter than its bound
    return true;
}

// Building the text as a str costs the interpreter a formatted print and a
// few resizes, more than the rest of the value. The cases left to
// object.__repr__ itself: a heap type whose module is "builtins" or not a
// str, a name too long to keep, a C type's name that is not ASCII.
bool Encoder::write_default_repr(PyObject* value, PyTypeObject* type) {
    const auto address = reinterpret_cast<std::uintptr_t>(value);
    char shown[2 + 2 * sizeof(std::uintptr_t)];
    const auto shown_address = [&] {
        return std::string_view(shown, static_cast<std::size_t>(put_address(shown, address) - shown));
    };
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        CachedTypeName* name = cached_type_name(type);
        if (name == nullptr) return false;
        const std::size_t chars = name->module_chars + name->qualname_chars + 1;
        const std::size_t shown_size = address_size(address);
        if (!make_form(*name, shown_size)) return write_repr_form(name->name(), name->name(), chars, shown_address());
        if (chars + 2 + object_at.size() + shown_size > budget_.chars) return false;
        // All but the address is the same for every instance of the class;
        // the address goes straight after it.
        if (std::uint8_t* p = out_.extend(name->form_size + shown_size + 1)) {
            msgpack::copy_bytes(p, name->form, name->form_size);
            *put_address(p + name->form_size, address) = '>';
        }
        return true;
    }
    // A C type is shown by its tp_name whole, "module.name" or "name".
    const std::string_view tp_name(type->tp_name);
    if (!is_ascii(tp_name)) return false;
    const StaticTypeName parts = split_static_name(type->tp_name);
    return write_repr_form(parts.module.empty() ? parts.name : tp_name, tp_name, tp_name.size(), shown_address());
}

void Encoder::encode_repr(PyObject* value) {
    // object.__repr__ is written here: no signal handler runs for it and no
    // recursion is entered (the class's name, when not cached, is read from
    // its dict with the type held).
    PyTypeObject* type = Py_TYPE(value);
    if (!interrupted_ && type->tp_repr == PyBaseObject_Type.tp_repr && write_default_repr(value, type)) return;
    encode_called_repr(value);
}

void Encoder::encode_called_repr(PyObject* value) {
    // Read before the repr runs, which may even change the object's class;
    // the reference keeps the type alive for the name.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    if (interrupted_) return write_unprintable(type_object);
    // PyObject_Repr runs pending signal handlers (a Ctrl-C ends the value as
    // unprintable) and holds the recursion limit.
    Ref text = Ref::steal(PyObject_Repr(value));
    if (!text || PyErr_Occurred() || compat::unicode_ready(text.get()) < 0) {
        absorb_error();
        return write_unprintable(type_object);
    }
    const std::size_t mark = out_.open(kExtHead + 1);
    write_type_name(out_, type_object, budget_.chars);
    write_cut_text(text.get());
    out_.close(mark, {Header::Kind::array, 2, Ext::repr});
}

void Encoder::write_unprintable(PyTypeObject* type) {
    const std::size_t mark = out_.open(kExtHead);
    write_type_name(out_, type, budget_.chars);
    out_.close(mark, {Header::Kind::none, 0, Ext::unprintable});
}

}  // namespace nefa::value_encoder
