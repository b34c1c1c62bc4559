// The local store as a person sees it from outside: a module's settings file read strictly
// (every line KEY=VALUE, each key once), the names in a directory, and a store with the
// simulated update server in front of it for running the tool's downloads.
#pragma once

#include <dirent.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "byte_patterns.h"
#include "directory_names.h"
#include "process.h"
#include "tempdir.h"
#include "trel_builder.h"
#include "update_server_sim.h"

namespace testsupport {

struct SettingsText {
    std::map<std::string, std::string> entries;
    // Lines that are no KEY=VALUE line (KEY of upper-case letters, digits and "_"), or repeat a key.
    std::vector<std::string> strayLines;
    bool endsWithNewline = true;
};

inline SettingsText parseSettings(const std::string& text) {
    SettingsText parsed;
    parsed.endsWithNewline = text.empty() || text.back() == '\n';
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        bool keyOk = equals != std::string::npos && equals > 0;
        for (size_t i = 0; keyOk && i < equals; ++i) {
            const char c = line[i];
            keyOk = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        }
        if (!keyOk || parsed.entries.count(line.substr(0, equals))) {
            parsed.strayLines.push_back(line);
            continue;
        }
        parsed.entries[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return parsed;
}

// A firmware file made by the independent builder for the module, its firmware block
// `payloadBytes` of noise (seeded by the build and the version) so that files of
// different builds, or of one build in two versions, differ. Returns the bytes.
inline std::string buildFirmware(const TempDir& dir, const std::string& serial, const std::string& build,
                                 const std::string& version, size_t payloadBytes = 64) {
    const std::string payload = dir.file("payload-" + build + "-" + version + ".bin");
    uint32_t seed = 2166136261u;
    for (const char c : build + "/" + version) seed = (seed ^ static_cast<unsigned char>(c)) * 16777619u;
    writeWholeFile(payload, noiseText(payloadBytes, seed));
    const std::string out = dir.file("fw-" + build + "-" + version + ".trel");
    buildTrel(out, {"--loader-block", "0x10000000:0011223344556677", "--firmware-block", "0x4000:@" + payload, "--info",
                    build, version, serial, "19"});
    return readWholeFile(out);
}

// A store and the simulated update server that -G fetches from.
class DownloadStore {
public:
    void serve(const std::vector<std::string>& options = {}) {
        server = std::make_unique<UpdateServerSim>(fixtures.path(), options);
    }
    // The tool with -i and -u in front of args.
    std::vector<std::string> argv(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u",
                                        server ? server->url() : std::string("http://127.0.0.1:1/cgi/u")};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    std::vector<std::string> env(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> all = {"HOME=" + store.path()};
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }
    ProcessResult run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {},
                      std::chrono::milliseconds limit = std::chrono::seconds(90)) const {
        return runProcess(argv(args), limit, env(extraEnv));
    }
    std::string moduleDir(const std::string& serial) const { return store.path() + "/updater/" + serial; }
    std::string settingsPath(const std::string& serial) const { return moduleDir(serial) + "/.settings"; }

    TempDir fixtures;
    TempDir store;
    std::unique_ptr<UpdateServerSim> server;
};

}  // namespace testsupport
