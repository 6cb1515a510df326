#include "worker/invoker_rules.h"

#include <gtest/gtest.h>

namespace nelto {
namespace {

TEST(InvokerRules, VersionAtLeast) {
    struct Case { const char* installed; const char* required; bool want; };
    const Case cases[] = {
        {"V3.0.027", "V3.0.014", true}, {"V3.0.014", "V3.0.014", true}, {"3.0.9", "V3.0.014", false},
        {"3.0", "3.0.1", false},        {"V3.0.027", "v3.0.27", true},  {"v3.1", "V3.0.999", true},
        {"V3.0.x", "V3.0.0", true},     {"V2.9.999", "V3", false},      {"V3.0.027", "", true},
        {"", "V3.0.014", false},        {"V4", "V3.5", true},
    };
    for (const Case& c : cases) EXPECT_EQ(VersionAtLeast(c.installed, c.required), c.want) << c.installed << " vs " << c.required;
}

TEST(InvokerRules, PreviousMonthCrossesTheYear) {
    EXPECT_EQ(PreviousMonthText(2026, 12), "202611");
    EXPECT_EQ(PreviousMonthText(2026, 1), "202512");
    EXPECT_EQ(PreviousMonthText(2027, 10), "202709");
}

TEST(InvokerRules, VersionTag) {
    struct Case { const char* plain; const char* want; };
    const Case cases[] = {
        {"<A><VERSION>V3.0.027</VERSION></A>", "V3.0.027"}, {"<VERSION>1</VERSION><VERSION>2</VERSION>", "1"},
        {"<VERSION>V3", ""}, {"</VERSION><VERSION>V3", ""}, {"no tag", ""}, {"<VERSION></VERSION>", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(VersionTagOf(c.plain), c.want) << c.plain;
}

}  // namespace
}  // namespace nelto
