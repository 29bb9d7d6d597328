// The start-up cipher checks pass with the agent's ciphers, each on its own
// and all together, and leave Twofish initialised.
#include "crypto/selftest.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "crypto/twofish.h"

namespace {

TEST(CipherSelfTest, EveryCheckPasses) {
    for (TCipherCheck check : {TCipherCheck::Block, TCipherCheck::Packet}) {
        String err;
        EXPECT_TRUE(CipherSelfTest(check, err)) << static_cast<int>(check) << ": " << err.Data();
        EXPECT_TRUE(err.IsEmpty()) << err.Data();
    }
    String err;
    EXPECT_TRUE(CipherSelfTest(err)) << err.Data();
    EXPECT_TRUE(err.IsEmpty()) << err.Data();
    EXPECT_TRUE(Twofish_initialised());
}

TEST(CipherSelfTest, AnUnknownCheckFails) {
    String err;
    EXPECT_FALSE(CipherSelfTest(static_cast<TCipherCheck>(99), err));
    EXPECT_FALSE(err.IsEmpty());
}

TEST(CipherSelfTest, RunsOnManyThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> passed(4, 0);
    for (size_t t = 0; t < passed.size(); ++t)
        threads.emplace_back([&passed, t] {
            for (int i = 0; i < 50; ++i) {
                String err;
                if (CipherSelfTest(err)) ++passed[t];
            }
        });
    for (auto& th : threads) th.join();
    for (int p : passed) EXPECT_EQ(p, 50);
}

}  // namespace
