// Substring search and the file-name rules that keep frames out of traces.
#include "filters/builtin_filters.hpp"
#include "filters/configured_filters.hpp"
#include "filters/substring_finder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nefa {
namespace {

using namespace std::string_view_literals;

TEST(SubstringFinder, FindsAtEitherEndAndNowhereElse) {
    const SubstringFinder finder("abc");
    EXPECT_TRUE(finder.find_in("abc"));
    EXPECT_TRUE(finder.find_in("abcxx"));
    EXPECT_TRUE(finder.find_in("xxabc"));
    EXPECT_TRUE(finder.find_in("xabababcx"));
    EXPECT_FALSE(finder.find_in("xxab"));
    EXPECT_FALSE(finder.find_in("bcxx"));
    EXPECT_FALSE(finder.find_in("ab"));
    EXPECT_FALSE(finder.find_in(""));
    EXPECT_FALSE(finder.find_in("ABC"));
}

TEST(SubstringFinder, EmptyNeedleAndEmbeddedNul) {
    const SubstringFinder empty("");
    EXPECT_TRUE(empty.find_in(""));
    EXPECT_TRUE(empty.find_in("anything"));

    // Lengths are explicit: a NUL byte is an ordinary character.
    const SubstringFinder nul(std::string("a\0b", 3));
    EXPECT_TRUE(nul.find_in("xa\0by"sv));
    EXPECT_FALSE(nul.find_in("xa\0cy"sv));
    EXPECT_FALSE(nul.find_in("ab"));
}

TEST(SubstringFinder, BuildFindersKeepsPatternsInOrder) {
    EXPECT_TRUE(build_finders({}).empty());
    EXPECT_FALSE(any_finds(build_finders({}), "anything"));

    const auto finders = build_finders({"/vendor/", "gen_", ""});
    ASSERT_EQ(finders.size(), 3u);
    EXPECT_EQ(finders[0].needle(), "/vendor/");
    EXPECT_EQ(finders[1].needle(), "gen_");
    EXPECT_EQ(finders[2].needle(), "");

    const auto two = build_finders({"/vendor/", "gen_"});
    EXPECT_TRUE(any_finds(two, "/src/vendor/x.py"));
    EXPECT_TRUE(any_finds(two, "/src/gen_x.py"));
    EXPECT_FALSE(any_finds(two, "/src/vendorx.py"));
}

TEST(BuiltinFilters, LibraryFiles) {
    EXPECT_TRUE(library_filter("/usr/lib/python3.12/json/__init__.py"));
    EXPECT_TRUE(library_filter("/home/u/.venv/lib/python3.11/site-packages/msgpack/__init__.py"));
    EXPECT_TRUE(library_filter("/opt/app/site-packages/x.py"));
    EXPECT_FALSE(library_filter("/home/u/project/app.py"));
    EXPECT_FALSE(library_filter("/home/u/site-packages.py"));
}

TEST(BuiltinFilters, FrozenModulesNeedTheBlank) {
    EXPECT_TRUE(frozen_filter("<frozen importlib._bootstrap>"));
    EXPECT_TRUE(frozen_filter("<frozen runpy>"));
    EXPECT_FALSE(frozen_filter("<frozen>"));
    EXPECT_FALSE(frozen_filter("<frozenset.py>"));
    EXPECT_FALSE(frozen_filter("/home/u/frozen.py"));
}

TEST(BuiltinFilters, OwnModulesButNotPlugins) {
    EXPECT_TRUE(nefa_filter("/x/nefa/__init__.py"));
    EXPECT_TRUE(nefa_filter("/x/nefa/cli.py"));
    EXPECT_TRUE(nefa_filter("/x/nefa/pytest_plugin.py"));
    EXPECT_TRUE(nefa_filter("/x/nefa/filters/__init__.py"));
    EXPECT_TRUE(nefa_filter("/x/nefa/traces/reader.py"));
    EXPECT_TRUE(nefa_filter("/x/nefa/store/saving.py"));
    // Plugins are traced like user code.
    EXPECT_FALSE(nefa_filter("/x/nefa/plugins/__init__.py"));
    EXPECT_FALSE(nefa_filter("/x/mynefa/cli.py"));
    EXPECT_FALSE(nefa_filter("/x/nefa/client.py"));
    EXPECT_FALSE(nefa_filter("/x/app/cli.py"));
}

TEST(BuiltinFilters, ExecAndPytestExpressions) {
    EXPECT_TRUE(exec_filter("<string>"));
    EXPECT_FALSE(exec_filter("<stdin>"));
    EXPECT_FALSE(exec_filter("<strin>"));

    EXPECT_TRUE(pytest_filter("<pytest match expression>"));
    // Exact equality only, unlike the substring rules.
    EXPECT_FALSE(pytest_filter("<pytest match expression"));
    EXPECT_FALSE(pytest_filter("<pytest match expression>>"));
    EXPECT_FALSE(pytest_filter("x<pytest match expression>"));
}

}  // namespace
}  // namespace nefa
