// The command reference (protocol/command_reference.h) against the agent's
// command table: the manual page and zelq help are generated from the
// reference, so a word the dispatcher knows and the reference does not (or
// the other way round) would be a command documented wrongly or not at all.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "daemon/commands.h"
#include "manage/status.h"
#include "protocol/command_reference.h"

namespace {

TEST(DispatcherReference, EveryCommandWordHasOneEntryAndNoEntryIsStray) {
    std::set<std::string> dispatcher;
    for (int i = 0; i < kCommandCount; ++i) dispatcher.insert(kCommandTable[i].word);
    std::set<std::string> reference;
    for (const TCommandRef& ref : CommandReference())
        EXPECT_TRUE(reference.insert(ref.word).second) << "twice in the reference: " << ref.word;

    for (const std::string& word : dispatcher)
        EXPECT_TRUE(reference.count(word)) << "no reference entry for the command word " << word;
    for (const std::string& word : reference)
        EXPECT_TRUE(dispatcher.count(word)) << "the reference names a word the dispatcher does not know: " << word;
}

// Positions are what the handlers read, so they ascend, and every entry can
// be shown: a summary, an example through zelq and the reply texts.
TEST(DispatcherReference, EntriesAreComplete) {
    for (const TCommandRef& ref : CommandReference()) {
        SCOPED_TRACE(ref.word);
        EXPECT_NE(ref.summary[0], '\0');
        EXPECT_EQ(std::string(ref.example).rfind("zelq ", 0), 0u);
        EXPECT_FALSE(ref.results.empty());
        int last = 0;
        for (const TParamRef& p : ref.params) {
            EXPECT_GT(p.position, last) << p.name;
            last = p.position;
        }
        std::set<std::string> names;
        for (const TValueRef& v : ref.values) EXPECT_TRUE(names.insert(v.name).second) << v.name;
    }
}

// zel --version and zelq --version name the identity GetInfo answers.
TEST(DispatcherReference, ProtocolIdentityIsTheOneGetInfoAnswers) {
    EXPECT_STREQ(AgentStatus.AgentVersion, kAgentProtocolVersion);
}

}  // namespace
