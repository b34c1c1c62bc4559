// Bounded random input for the settings reader and writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>

#include "KeyValueStore.h"
#include "tempdir.h"

using testsupport::readWholeFile;
using testsupport::TempDir;
using testsupport::writeWholeFile;

namespace {

const auto TIME_LIMIT = std::chrono::milliseconds(1000);
const int MAX_ROUNDS = 20000;

std::string randomText(std::mt19937& random) {
    static const char alphabet[] = "ab=# \t\r\n\n\n=xyz\x01\xff";
    std::uniform_int_distribution<int> pick(0, sizeof alphabet - 2);
    std::uniform_int_distribution<int> length(0, 200);
    std::uniform_int_distribution<int> rare(0, 15);
    std::string text;
    for (int i = length(random); i > 0; --i) {
        const int what = rare(random);
        if (what == 0)
            text.append(std::uniform_int_distribution<int>(2000, 5000)(random), 'L');
        else if (what == 1)
            text += '\0';
        else
            text += alphabet[pick(random)];
    }
    return text;
}

}  // namespace

// Whatever a file holds, each entry saved is one line, and reading the saved file back
// never yields a key that is not part of one the store held.
TEST(SettingsFuzz, RandomFilesLoadAndSaveAsOneLinePerEntry) {
    std::mt19937 random(0x5E771E55u);
    TempDir dir;
    const std::string in = dir.file("in");
    const std::string out = dir.file("out");
    const auto deadline = std::chrono::steady_clock::now() + TIME_LIMIT;
    for (int round = 0; round < MAX_ROUNDS && std::chrono::steady_clock::now() < deadline; ++round) {
        writeWholeFile(in, randomText(random));
        KeyValueStore store(in.c_str());
        store.Add(randomText(random).c_str(), randomText(random));
        store.Save(out.c_str());

        const std::string saved = readWholeFile(out);
        ASSERT_EQ(static_cast<size_t>(std::count(saved.begin(), saved.end(), '\n')), store.entries.size()) << saved;
        KeyValueStore reread(out.c_str());
        for (const auto& entry : reread.entries) {
            bool known = false;
            for (const auto& original : store.entries) {
                std::string key = original.first;
                key.erase(std::remove(key.begin(), key.end(), '\r'), key.end());
                key.erase(std::remove(key.begin(), key.end(), '\n'), key.end());
                if (key.find(entry.first) != std::string::npos) known = true;
            }
            ASSERT_TRUE(known) << "[" << entry.first << "] from\n" << saved;
        }
    }
}
