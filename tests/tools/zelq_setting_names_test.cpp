#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelq/setting_names.h"

namespace {

TEST(ZelqSettingNames, ClosestKnownName) {
    const struct {
        const char* name;
        const char* closest;
    } cases[] = {
        {"logsuccess", "LogOkConn"},       // a configuration file key
        {"LOGFAILS", "LogBadConn"},        // a file key in another case
        {"text log", "Text Log"},          // the name in another case
        {"timeout", "Timeout"},
        {"IPFilterAdr", "IPFilterAddr"},   // a typing slip
        {"ManagAddr", "ManageAddr"},
        {"Execute extrnal comand", "Execute external command"},
    };
    for (const auto& c : cases) EXPECT_EQ(ClosestSettingName(c.name), c.closest) << c.name;
}

TEST(ZelqSettingNames, WarnsOfEachUnknownName) {
    const struct {
        std::vector<std::string> params;
        bool literal;
        std::vector<std::string> warnings;
    } cases[] = {
        {{"Comment=web 2", "Port=6000", " TCP = 0", "Execute external command=1"}, false, {}},
        {{"logsuccess=1", "Comment=x", "no equals sign"},
         false,
         {"zelq: warning: unknown setting name 'logsuccess' (the agent skips it); did you mean 'LogOkConn'?"}},
        {{" tcp =1", "Timeout=5"},
         false,
         {"zelq: warning: unknown setting name 'tcp' (the agent skips it); did you mean 'TCP'?"}},
        // A file parameter is not looked at, unless sent as written.
        {{"@x=1"}, false, {}},
        {{"@x=1"}, true, {"zelq: warning: unknown setting name '@x' (the agent skips it); did you mean 'UNC'?"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params.front());
        EXPECT_EQ(UnknownSettingWarnings(c.params, c.literal), c.warnings);
    }
}

}  // namespace
