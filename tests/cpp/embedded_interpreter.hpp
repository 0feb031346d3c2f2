// The interpreter the C++ tests run Python code in.
#pragma once

#include "common/refs.hpp"

#include <gtest/gtest.h>

namespace nefa::testing_support {

// Base fixture: starts the interpreter once (never finalised: finalising and
// starting again is not something the interpreter supports well) and fails a
// test that leaves a Python error pending.
class EmbeddedInterpreter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!Py_IsInitialized()) Py_InitializeEx(0);
    }

    void TearDown() override {
        EXPECT_EQ(PyErr_Occurred(), nullptr) << "a test left a Python error pending";
        PyErr_Clear();
    }

    // A fresh globals dict with the builtins, for running test code in.
    static Ref new_globals() {
        Ref globals = Ref::require(PyDict_New());
        Require(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
        return globals;
    }
};

}  // namespace nefa::testing_support
