// Conversions of Python values and argument parsing, run inside an embedded
// interpreter: the error types and texts are part of the module's behaviour.
#include "embedded_interpreter.hpp"
#include "utils/arguments.hpp"
#include "utils/serialize.hpp"
#include "utils/text.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace nefa {
namespace {

class Interpreter : public testing_support::EmbeddedInterpreter {
protected:
    // Evaluates a Python expression; fails the test on error.
    static Ref eval(const char* expression) {
        Ref globals = new_globals();
        Ref result = Ref::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
        if (!result) {
            PyErr_Print();
            ADD_FAILURE() << "evaluating " << expression;
        }
        return result;
    }

    static void exec(const char* statements) {
        Ref globals = new_globals();
        Ref result = Ref::steal(PyRun_String(statements, Py_file_input, globals.get(), globals.get()));
        if (!result) {
            PyErr_Print();
            ADD_FAILURE() << "running " << statements;
        }
    }

    // Runs `body`, which must throw PyErrOccurred with an exception of exactly
    // `type` pending, and with `message` as its text when one is given.
    template <class Body>
    static void expect_error(Body&& body, PyObject* type, std::optional<std::string_view> message = std::nullopt) {
        try {
            body();
            ADD_FAILURE() << "no exception was raised";
            return;
        } catch (const PyErrOccurred&) {
        }
        PendingError error = PendingError::fetch();
        ASSERT_TRUE(error) << "PyErrOccurred thrown without a pending exception";
        EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.exception())), type)
            << "raised " << Py_TYPE(error.exception())->tp_name;
        if (message) {
            Ref text = Ref::require(PyObject_Str(error.exception()));
            EXPECT_EQ(utf8_view(text.get()), *message);
        }
    }
};

using StringConversions = Interpreter;

TEST_F(StringConversions, StringList) {
    Ref list = eval("['a', 'b\\u00e9', '']");
    EXPECT_EQ(extract_string_list(list.get()), (std::vector<std::string>{"a", "b\xC3\xA9", ""}));
    Ref tuple = eval("('x',)");
    EXPECT_EQ(extract_string_list(tuple.get()), std::vector<std::string>{"x"});

    Ref str = eval("'abc'");
    expect_error([&] { extract_string_list(str.get()); }, PyExc_TypeError, "Can't extract `str` to `Vec`");
    Ref set = eval("{'a'}");
    expect_error([&] { extract_string_list(set.get()); }, PyExc_TypeError,
                 "'set' object cannot be converted to 'Sequence'");
    Ref mixed = eval("['a', 1]");
    expect_error([&] { extract_string_list(mixed.get()); }, PyExc_TypeError,
                 "'int' object cannot be converted to 'PyString'");
}

TEST_F(StringConversions, StringListPropagatesIterationErrors) {
    Ref broken =
        eval("type('Broken', (), {'__len__': lambda s: 2, '__getitem__': lambda s, i: 1 // 0 if i else 'a'})()");
    expect_error([&] { extract_string_list(broken.get()); }, PyExc_ZeroDivisionError);
}

TEST_F(StringConversions, LossyUtf8ReplacesLoneSurrogates) {
    Ref plain = eval("'caf\\u00e9 \\U0001F600'");
    EXPECT_EQ(utf8_lossy(plain.get()), "caf\xC3\xA9 \xF0\x9F\x98\x80");

    // One character of every UTF-8 length around the surrogate.
    Ref mixed = eval("'a\\u00e9\\ud800\\u20ac\\U0001F600\\udfff'");
    EXPECT_EQ(utf8_lossy(mixed.get()), "a\xC3\xA9\xEF\xBF\xBD\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD");
    EXPECT_EQ(PyErr_Occurred(), nullptr);

    expect_error([&] { utf8_view(mixed.get()); }, PyExc_UnicodeEncodeError);
}

TEST_F(StringConversions, StrictBool) {
    EXPECT_TRUE(extract_strict_bool(Py_True));
    EXPECT_FALSE(extract_strict_bool(Py_False));
    Ref one = eval("1");
    expect_error([&] { extract_strict_bool(one.get()); }, PyExc_TypeError,
                 "'int' object cannot be converted to 'PyBool'");
    expect_error([&] { extract_strict_bool(Py_None); }, PyExc_TypeError,
                 "'NoneType' object cannot be converted to 'PyBool'");
}

TEST_F(StringConversions, StrictBoolTakesNumpyBooleansByTruth) {
    // A stand-in with numpy's type name, so the test needs no numpy.
    static PyType_Slot slots[] = {{Py_nb_bool, reinterpret_cast<void*>(+[](PyObject*) -> int { return 0; })},
                                  {0, nullptr}};
    static PyType_Spec bool_type_def = {"numpy.bool_", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
    Ref type = Ref::require(PyType_FromSpec(&bool_type_def));
    Ref falsy = Ref::require(PyObject_CallNoArgs(type.get()));
    EXPECT_FALSE(extract_strict_bool(falsy.get()));
}

TEST_F(StringConversions, UnsignedIntegers) {
    Ref big = eval("2**64 - 1");
    EXPECT_EQ(extract_unsigned(big.get()), ~std::uint64_t{0});
    Ref indexable = eval("type('I', (), {'__index__': lambda s: 7})()");
    EXPECT_EQ(extract_unsigned(indexable.get()), 7u);

    Ref minus_one = eval("-1");
    expect_error([&] { extract_unsigned(minus_one.get()); }, PyExc_OverflowError);
    Ref too_big = eval("2**64");
    expect_error([&] { extract_unsigned(too_big.get()); }, PyExc_OverflowError);
    Ref real = eval("1.0");
    expect_error([&] { extract_unsigned(real.get()); }, PyExc_TypeError);
}

TEST_F(StringConversions, ByteLists) {
    const Bytes expected{0x00, 0x7f, 0xff};
    for (const char* source :
         {"b'\\x00\\x7f\\xff'", "bytearray(b'\\x00\\x7f\\xff')", "[0, 127, 255]", "(0, 127, 255)"}) {
        Ref value = eval(source);
        EXPECT_EQ(extract_byte_list(value.get()), expected) << source;
    }
    Ref empty = eval("[]");
    EXPECT_TRUE(extract_byte_list(empty.get()).empty());

    Ref str = eval("'abc'");
    expect_error([&] { extract_byte_list(str.get()); }, PyExc_TypeError, "Can't extract `str` to `Vec`");
    for (const char* source : {"[1, 256]", "[-1]", "[2**70]"}) {
        Ref value = eval(source);
        expect_error([&] { extract_byte_list(value.get()); }, PyExc_OverflowError,
                     "out of range integral type conversion attempted");
    }
    Ref text_item = eval("['a']");
    expect_error([&] { extract_byte_list(text_item.get()); }, PyExc_TypeError,
                 "'str' object cannot be converted to 'PyInt'");
    Ref number = eval("3");
    expect_error([&] { extract_byte_list(number.get()); }, PyExc_TypeError,
                 "'int' object cannot be converted to 'Sequence'");
}

// A stand-in host package on sys.path, so that the serialiser can be called
// without the real one installed.
class FakeHostPackage : public Interpreter {
protected:
    static void SetUpTestSuite() {
        Interpreter::SetUpTestSuite();
        char pattern[] = "/tmp/nefa-cpp-tests-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directory(root_ / "nefa");
        std::ofstream(root_ / "nefa" / "__init__.py") << "";
        std::ofstream(root_ / "nefa" / "serialize.py") << "def dump_msgpack(value):\n"
                                                          "    return value\n"
                                                          "def dump_msgpack_lightweight_repr(value):\n"
                                                          "    return [0xa1, 0x78]\n";
        Ref sys_path = Ref::borrow(PySys_GetObject("path"));
        Ref entry = Ref::require(PyUnicode_FromString(root_.c_str()));
        Require(PyList_Insert(sys_path.get(), 0, entry.get()));
    }

    static void TearDownTestSuite() {
        exec(
            "import sys\n"
            "sys.path.pop(0)\n"
            "for name in [n for n in sys.modules if n == 'nefa' or n.startswith('nefa.')]:\n"
            "    del sys.modules[name]\n");
        std::filesystem::remove_all(root_);
    }

    static inline std::filesystem::path root_;
};

TEST_F(FakeHostPackage, SerializedBytesAreKeptWithoutCopy) {
    Ref value = eval("b'\\x92\\x01\\x02'");
    const SerializedValue serialized = dump_msgpack(value.get());
    const auto bytes = serialized.bytes();
    EXPECT_EQ(reinterpret_cast<const char*>(bytes.data()), PyBytes_AS_STRING(value.get()));
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), (Bytes{0x92, 0x01, 0x02}));
}

TEST_F(FakeHostPackage, OtherResultsAreConverted) {
    Ref list = eval("[0x92, 1, 2]");
    const SerializedValue from_list = dump_msgpack(list.get());
    EXPECT_EQ(Bytes(from_list.bytes().begin(), from_list.bytes().end()), (Bytes{0x92, 0x01, 0x02}));

    const SerializedValue light = dump_msgpack_lightweight_repr(Py_None);
    EXPECT_EQ(Bytes(light.bytes().begin(), light.bytes().end()), (Bytes{0xa1, 0x78}));

    Ref str = eval("'not bytes'");
    expect_error([&] { dump_msgpack(str.get()); }, PyExc_TypeError, "Can't extract `str` to `Vec`");
}

using ArgumentParsing = Interpreter;

class Call {
public:
    // `positional` then the values of `keywords`, as a vectorcall passes them.
    Call(std::initializer_list<PyObject*> positional, std::initializer_list<std::pair<const char*, PyObject*>> keywords)
        : nargs_(static_cast<Py_ssize_t>(positional.size())) {
        args_.assign(positional.begin(), positional.end());
        if (keywords.size() > 0) {
            kwnames_ = Ref::require(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
            Py_ssize_t i = 0;
            for (const auto& [name, value] : keywords) {
                PyTuple_SET_ITEM(kwnames_.get(), i++, Require(PyUnicode_FromString(name)));
                args_.push_back(value);
            }
        }
    }

    std::array<PyObject*, 2> parse(const char* function, std::span<const char* const> parameters) const {
        std::array<PyObject*, 2> out{};
        parse_arguments(function, parameters, args_.data(), nargs_, kwnames_.get(),
                        std::span<PyObject*>(out.data(), parameters.size()));
        return out;
    }

private:
    std::vector<PyObject*> args_;
    Py_ssize_t nargs_;
    Ref kwnames_;
};

constexpr std::array<const char*, 2> kTwo{"a", "b"};
constexpr std::array<const char*, 1> kOne{"a"};
constexpr std::span<const char* const> kNone{};

TEST_F(ArgumentParsing, FillsSlotsByPositionOrName) {
    Ref x = eval("'x'");
    Ref y = eval("'y'");
    EXPECT_EQ(Call({x.get(), y.get()}, {}).parse("f", kTwo), (std::array<PyObject*, 2>{x.get(), y.get()}));
    EXPECT_EQ(Call({x.get()}, {{"b", y.get()}}).parse("f", kTwo), (std::array<PyObject*, 2>{x.get(), y.get()}));
    EXPECT_EQ(Call({}, {{"b", y.get()}, {"a", x.get()}}).parse("f", kTwo),
              (std::array<PyObject*, 2>{x.get(), y.get()}));
}

TEST_F(ArgumentParsing, ErrorTexts) {
    PyObject* v = Py_None;
    expect_error(
        [&] {
            Call({v, v, v}, {}).parse("f", kTwo);
        },
        PyExc_TypeError, "f() takes 2 positional arguments but 3 were given");
    expect_error(
        [&] {
            Call({v, v}, {}).parse("g", kOne);
        },
        PyExc_TypeError, "g() takes 1 positional argument but 2 were given");
    expect_error([&] { Call({v}, {}).parse("h", kNone); }, PyExc_TypeError,
                 "h() takes 0 positional arguments but 1 was given");
    expect_error(
        [&] {
            Call({v}, {{"c", v}}).parse("f", kTwo);
        },
        PyExc_TypeError, "f() got an unexpected keyword argument 'c'");
    expect_error(
        [&] {
            Call({v, v}, {{"a", v}}).parse("f", kTwo);
        },
        PyExc_TypeError, "f() got multiple values for argument 'a'");
    expect_error([&] { Call({v}, {}).parse("f", kTwo); }, PyExc_TypeError, "f() missing required argument 'b' (pos 2)");
    expect_error(
        [&] {
            Call({}, {{"b", v}}).parse("f", kTwo);
        },
        PyExc_TypeError, "f() missing required argument 'a' (pos 1)");
}

}  // namespace
}  // namespace nefa
