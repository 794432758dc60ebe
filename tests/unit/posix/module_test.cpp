// Loading a module through the platform seam, and what comes back when a module or one of
// its symbols is not there.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

TEST(PlatformModule, FindsASymbolOrSaysWhyNot)
{
    struct Case {
        const char* module;
        const char* symbol;  // null: the module itself does not load
        bool found;
        const char* named;  // in the reason when not found
    };
    for (const Case& c :
         {Case{"libm.so.6", "cos", true, ""}, Case{"libm.so.6", "noSuchFunction", false, "noSuchFunction"},
          Case{"./no-such-module.so", nullptr, false, "./no-such-module.so"}}) {
        std::string reason;
        void* module = platformLoadModule(c.module, &reason);
        ASSERT_EQ(module != nullptr, c.symbol != nullptr) << c.module << ": " << reason;
        void* address = module != nullptr ? platformModuleSymbol(module, c.symbol, &reason) : nullptr;
        EXPECT_EQ(address != nullptr, c.found) << c.module;
        EXPECT_EQ(reason.empty(), c.found) << reason;
        EXPECT_NE(reason.find(c.named), std::string::npos) << reason;
    }
}

}  // namespace
