// In-process requests for handler tests (included as
// "common/handler_fixture.h"; link zel_daemon). A test sets the settings for
// its case, sends a command word with parameters through the real
// dispatcher and gets the reply back as a table: the code and each value
// line, unescaped as the server reads them.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "daemon/dispatcher.h"
#include "daemon/flags.h"
#include "daemon/upgrade.h"
#include "protocol/client.h"
#include "protocol/codecs.h"

struct TReplyTable {
    bool handled = false;            // what the dispatcher returned
    std::string code;                // "200", "600" ...
    std::vector<std::string> lines;  // the value lines, "%0A"/"%0D" decoded
    std::string raw;                 // the reply text before the end mark
};

class HandlerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = *ZELSettings.Get();
        // Every test and action on, management from loopback only.
        ZELSettings.Modify([](TZELSettings& s) {
            for (const TZELSettingsKey& k : kSettingsKeys)
                if (k.isSwitch) s.*(k.number) = 1;
            s.allowmanage = 1;
            s.manageaddr = "127.0.0.1";
            s.allowupdates = 1;
            s.updateaddr = "127.0.0.1";
        });
    }
    void TearDown() override {
        ZELSettings.Modify([this](TZELSettings& s) { s = saved_; });
        ZELFlags.Terminate = 0;
        ZELFlags.Reload = 0;
    }

    // Changes the settings for this case (no file is written).
    void Settings(const std::function<void(TZELSettings&)>& change) { ZELSettings.Modify(change); }

    // One request: the command word, its parameter lines, the end mark.
    TReplyTable Call(const std::string& word, const std::vector<std::string>& params = {},
                     const char* client = "127.0.0.1") {
        TStrList list;
        for (const std::string& p : params) list.Add(String(p));
        return CallText(BuildRequestText(String(word), list), client);
    }

    // One request with exactly this request text.
    TReplyTable CallText(const String& text, const char* client = "127.0.0.1") {
        VTRequest request;
        request = text;
        ZELReply reply;
        ThreadParams params;
        TNetAddress::Parse(client, params.Address);
        TReplyTable t;
        UpgradeRec upgrade;
        t.handled = ProcessVTRequest(request, reply, ZELFlags, params, upgrade);
        t.raw = std::string(reply.View());
        std::string_view body = reply.View();
        size_t lf = body.find('\n');
        t.code = std::string(body.substr(0, lf));
        if (lf == std::string_view::npos) return t;
        body.remove_prefix(lf + 1);
        while (!body.empty()) {
            size_t end = body.find('\n');
            std::string_view line = body.substr(0, end);
            t.lines.push_back(std::string(zelDecodeStrings(String(line)).View()));
            if (end == std::string_view::npos) break;
            body.remove_prefix(end + 1);
        }
        return t;
    }

private:
    TZELSettings saved_;
};
