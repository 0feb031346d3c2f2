// Qualified names, including the search used for code objects without
// co_qualname. The interpreters nefa supports always have co_qualname, so the
// search is exercised here directly: Python code calls a probe (a C function
// of this test program) that runs it on the calling frame.
#include "embedded_interpreter.hpp"
#include "utils/qualname.hpp"
#include "utils/text.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace nefa {
namespace {

enum class Which { search, full };

// probe(frame=None, which="search"): the name found for `frame`, or for the
// frame that called probe; None when there is none.
PyObject* probe(PyObject*, PyObject* args) {
    PyObject* frame = Py_None;
    const char* which = "search";
    if (!PyArg_ParseTuple(args, "|Os", &frame, &which)) return nullptr;
    Ref target = frame == Py_None ? Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame())) : Ref::borrow(frame);
    try {
        auto* f = reinterpret_cast<PyFrameObject*>(target.get());
        const std::optional<std::string> name =
            std::string_view(which) == "full" ? get_qualname(f) : qualname_without_co_qualname(f);
        if (!name) Py_RETURN_NONE;
        return PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size()));
    } catch (const PyErrOccurred&) {
        return nullptr;
    }
}

PyMethodDef probe_def = {"probe", probe, METH_VARARGS, nullptr};

class Qualnames : public testing_support::EmbeddedInterpreter {
protected:
    // Runs `source` as the module "shop" and returns its namespace.
    static Ref run_module(const char* source) {
        Ref globals = new_globals();
        Ref name = Ref::require(PyUnicode_FromString("shop"));
        Require(PyDict_SetItemString(globals.get(), "__name__", name.get()));
        Ref function = Ref::require(PyCFunction_New(&probe_def, nullptr));
        Require(PyDict_SetItemString(globals.get(), "probe", function.get()));
        Ref result = Ref::steal(PyRun_String(source, Py_file_input, globals.get(), globals.get()));
        if (!result) {
            PyErr_Print();
            ADD_FAILURE() << "running the module failed";
        }
        return globals;
    }

    static std::optional<std::string> result(const Ref& globals, const char* key) {
        PyObject* value = PyDict_GetItemString(globals.get(), key);
        if (value == nullptr) {
            ADD_FAILURE() << "no result named " << key;
            return std::nullopt;
        }
        if (value == Py_None) return std::nullopt;
        return std::string(utf8_view(value));
    }
};

constexpr const char* kShop = R"(
import sys

class Cart:
    def add(self):
        return probe()
    @property
    def total(self):
        return probe()
    @classmethod
    def make(cls):
        return probe()

def module_function():
    return probe()

def holder():
    def inner():
        return probe()
    return inner()

class Body:
    found = probe()

def free(self):
    return probe()

def not_a_class(cls):
    return probe()

def call_through_alias(function, argument):
    alias = function
    return alias(argument)

def gen():
    yield 1

g = gen()
next(g)

add = Cart().add()
total = Cart().total
make = Cart.make()
module = module_function()
nested = holder()
body = Body.found
self_not_found = call_through_alias(free, Cart())
cls_not_a_class = call_through_alias(not_a_class, 5)
suspended = probe(g.gi_frame)
module_code = probe()
full_method = Cart.add.__code__ and (lambda: probe(None, "full"))()
)";

TEST_F(Qualnames, SearchFollowsItsRulesInOrder) {
    Ref shop = run_module(kShop);
    // `self` in the frame: looked up on the instance's class.
    EXPECT_EQ(result(shop, "add"), "shop.Cart.add");
    // ... and a property is named by its getter.
    EXPECT_EQ(result(shop, "total"), "shop.Cart.total");
    // `cls` bound to a class: looked up on the class.
    EXPECT_EQ(result(shop, "make"), "shop.Cart.make");
    // The caller holds the function under its name (here, the module globals).
    EXPECT_EQ(result(shop, "module"), "shop.module_function");
    EXPECT_EQ(result(shop, "nested"), "shop.holder.<locals>.inner");
    // A class body names itself through __qualname__.
    EXPECT_EQ(result(shop, "body"), "shop.Body");
    // getattr_static cannot find the name on `self`'s class: no name, no error.
    EXPECT_EQ(result(shop, "self_not_found"), std::nullopt);
    // `cls` that is not a class: the module globals decide.
    EXPECT_EQ(result(shop, "cls_not_a_class"), "shop.not_a_class");
    // A frame without a caller that is not module code has no name.
    EXPECT_EQ(result(shop, "suspended"), std::nullopt);
    // Module code is named after the module.
    EXPECT_EQ(result(shop, "module_code"), "shop.<module>");
    // With co_qualname the interpreter's own name is used as it is.
    EXPECT_EQ(result(shop, "full_method"), "shop.<lambda>");
}

TEST_F(Qualnames, OddModuleAttributesStillGiveAName) {
    Ref shop = run_module(R"(
class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

def nowhere():
    return probe()
nowhere.__module__ = None

def strange():
    return probe()
strange.__module__ = Unprintable()

def call(function):
    alias = function
    return alias()

import sys
unraisable = []
sys.unraisablehook = unraisable.append
none_module = call(nowhere)
unprintable = call(strange)
sys.unraisablehook = sys.__unraisablehook__
unraisable_count = len(unraisable)
)");
    EXPECT_EQ(result(shop, "none_module"), "None.nowhere");
    EXPECT_EQ(result(shop, "unprintable"), "<unprintable Unprintable object>.strange");
    // The failing str() shows in the name only: nothing reaches the
    // unraisable hook, which would print on the program's stderr.
    PyObject* count = PyDict_GetItemString(shop.get(), "unraisable_count");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(PyLong_AsLong(count), 0);
}

TEST_F(Qualnames, GlobalsWithoutNameFailTheEventOnlyOutsideTheSearch) {
    // exec'd with bare globals: module code and co_qualname need __name__.
    Ref globals = new_globals();
    Ref function = Ref::require(PyCFunction_New(&probe_def, nullptr));
    Require(PyDict_SetItemString(globals.get(), "probe", function.get()));
    Ref result = Ref::steal(PyRun_String("probe()", Py_eval_input, globals.get(), globals.get()));
    ASSERT_FALSE(result);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyError));
    PyErr_Clear();
    // Inside the search, the class-body rule reads __name__ and a failure
    // there just means no name.
    Ref body = Ref::steal(PyRun_String("class K:\n    found = probe()\n", Py_file_input, globals.get(), globals.get()));
    ASSERT_TRUE(body);
    Ref k = Ref::borrow(PyDict_GetItemString(globals.get(), "K"));
    ASSERT_TRUE(k);
    Ref found = Ref::require(PyObject_GetAttrString(k.get(), "found"));
    EXPECT_EQ(found.get(), Py_None);
}

}  // namespace
}  // namespace nefa
