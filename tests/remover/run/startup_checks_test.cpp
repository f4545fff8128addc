#include "remover/run/startup_checks.hpp"

#include <gtest/gtest.h>

#include "replay/log/log.hpp"
#include "support/recording_listener.hpp"

namespace {

TEST(IsRunAsAdministrator, AdministratorTokenLogsHeaderAndSeparator) {
    // Wine's process token holds BUILTIN\Administrators.
    auto got = std::make_shared<test_support::journal>();
    replay::log::attach(std::make_unique<test_support::recording_listener>(got, "r"));
    const int verdict = remover::IsRunAsAdministrator(L"Zentrivo force remover");
    replay::log::shutdown();
    EXPECT_EQ(verdict, 1);
    std::vector<std::string> texts;
    for (const auto& e : got->entries) texts.push_back(e.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"**** Check if Zentrivo force remover runs as Administrator ****", "",
                                               "==================================================", ""}));
}

}  // namespace
