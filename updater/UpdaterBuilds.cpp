// Commands that talk to the update server and the local store without a module:
// build lists, tokens and firmware downloads.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "FileLock.h"
#include "FirmwareFileCheck.h"
#include "Log.h"
#include "ReplaceFile.h"
#include "ServerFailure.h"
#include "TrelFile.h"
#include "Updater.h"
#include "base64.h"

namespace {

const char* const DOWNLOAD_LABEL = "Downloading";
const auto SPINNER_PERIOD = std::chrono::milliseconds(100);

struct DownloadJob {
    const Updater* updater;
    std::promise<bool> result;
    uint32_t serial;
    std::string firmware;
    std::string build;
    std::string* reply;
    bool noCal;
};

void downloadWorker(DownloadJob job) {
    const bool fetched = UpdateServerRequest::GetBuild(job.serial, job.firmware, job.build, *job.reply,
                                                       job.updater->serverUrl.c_str(), job.noCal);
    job.result.set_value(fetched);
}

// The local build key of a store entry: its name up to ".trel".
std::string localBuildKey(const std::string& name) {
    const auto end = name.find(".trel");
    return end == std::string::npos ? name : name.substr(0, end);
}

// Why the bytes are no firmware file the store can hand to a writer, empty when they are one:
// the header check and a whole load, as the store reads its files, then the check every
// writer makes before it writes.
std::string firmwareFileProblem(const uint8_t* bytes, size_t length) {
    if (length > TrelFile::MAX_PAYLOAD_SIZE || !TrelFile::VerifyHeader(bytes, length))
        return "it does not begin as a firmware file";
    TrelFile file;
    if (!file.LoadBytes(bytes, length))
        return file.loadError.empty() ? "its contents do not load" : "its contents do not load: " + file.loadError;
    return FirmwareFileProblem(file, AnyFirmwareTarget());
}

std::string localBuildVersion(UpdaterDisplayInterface& display, UpdaterStoreItem& item) {
    if (!item.IsValid()) return "";
    const std::string path = item.basePath + "/" + item.name;
    if (!TrelFile::VerifyFile(path.c_str())) {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in trelfile: %s\n", path.c_str());
        return "";
    }
    try {
        TrelFile file(path.c_str());
        const std::string version = file.GetVersion();
        if (!version.empty())
            Log::log(DEBUG_Updater, "Found VERSION in trelfile: %s - Version: %s\n", path.c_str(), version.c_str());
        return version;
    } catch (const std::runtime_error& error) {
        // One unreadable file must not hide the rest of the listing.
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not read trelfile: %s - %s", path.c_str(),
                        error.what());
        return "";
    }
}

}  // namespace

bool _valid_build(uint32_t serial, uint32_t build, const char* serverUrl) {
    BuildMap builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl)) return false;
    for (const auto& entry : builds) {
        uint32_t listed = 0;
        if (!UpdateServerRequest::ParseBuildNumber(entry.first, listed))
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
        if (listed == build) return true;
    }
    return false;
}

bool Updater::serverReachable() {
    if (UpdateServerRequest::ping(serverUrl.c_str())) return true;
    display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", serverUrl.c_str());
    _report_server_failure(*display);
    return false;
}

template <typename Request>
bool Updater::askServer(const char* failure, uint32_t serial, Request request) {
    if (!serverReachable()) return false;
    if (request()) return true;
    display->message(UpdaterDisplayInterface::LEVEL_ERROR, failure, serial);
    _report_server_failure(*display);
    return false;
}

BuildMap Updater::Get_BuildList(uint32_t serial, bool* answered) {
    BuildMap builds;
    const bool ok = askServer("Failed to retrieve builds for %08X", serial,
                              [&] { return UpdateServerRequest::GetBuildList(serial, builds, serverUrl.c_str()); });
    if (answered) *answered = ok;
    return builds;
}

std::string Updater::Get_JWT(uint32_t serial, bool* answered) {
    std::string token;
    const bool ok = askServer("Failed to retrieve jwt for %08X", serial,
                              [&] { return UpdateServerRequest::GetDeviceJWT(serial, token, serverUrl.c_str()); });
    if (answered) *answered = ok;
    return token;
}

BuildMap Updater::Get_BuildListLocal(uint32_t serial) {
    BuildMap builds;
    auto store = _createUpdaterStore(*display, storeDir, "Get_BuildListLocal");
    if (!store) return builds;
    // The listing does not need the module's record, but a record that cannot be read is
    // told (and left as it is) before anything else writes over it.
    UpdaterStoreItem module;
    if (store->FindDevice(serial, &module)) _settings_readable(*display, module);
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (auto& item : items) builds.emplace(localBuildKey(item.name), localBuildVersion(*display, item));
    return builds;
}

namespace {

// The build to fetch: the one asked for, else the server's latest, with the firmware
// name the server gives; 0 once the reason is told.
uint32_t buildToFetch(UpdaterDisplayInterface& display, uint32_t serial, uint32_t build, const char* serverUrl,
                      std::string& firmware) {
    std::string latestBuild;
    if (!UpdateServerRequest::QueryBuild(serial, latestBuild, firmware, serverUrl)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
        _report_server_failure(display);
        return 0;
    }
    if (build == 0 && !UpdateServerRequest::ParseBuildNumber(latestBuild, build))
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latestBuild.c_str());
    // There is no build 0: an answer without a usable build is no answer.
    if (build == 0) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
    return build;
}

// The server's word that the build is one for this module, unless overridden.
bool validateBuild(UpdaterDisplayInterface& display, uint32_t serial, uint32_t build, bool override,
                   const char* serverUrl) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving build %u", build);
    if (override) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Override specified, skipping validation of build %u",
                        build);
        return true;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Validating build %u with server", build);
    if (!_valid_build(serial, build, serverUrl)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No valid build %u", build);
        // Set only when the list itself could not be fetched.
        _report_server_failure(display);
        return false;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Build %u is valid", build);
    return true;
}

// The firmware file as the server sends it (base64), fetched while the spinner turns;
// empty once the reason is told.
std::string fetchFirmware(const Updater* updater, UpdaterDisplayInterface& display, uint32_t serial,
                          const std::string& firmware, const std::string& buildText, bool noCal) {
    std::string reply;
    std::promise<bool> promise;
    std::future<bool> fetched = promise.get_future();
    std::thread worker(downloadWorker,
                       DownloadJob{updater, std::move(promise), serial, firmware, buildText, &reply, noCal});
    display.update_spinner(true, DOWNLOAD_LABEL);
    while (fetched.wait_for(SPINNER_PERIOD) != std::future_status::ready) display.update_spinner(true, DOWNLOAD_LABEL);
    display.update_spinner(false, DOWNLOAD_LABEL);
    const bool downloaded = fetched.get();
    worker.join();
    if (!downloaded) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Download failed");
        _report_server_failure(display);
    }
    if (reply.empty()) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve a valid TREL file");
    return reply;
}

// Puts a firmware file staged under the module record's lock in place and then records it:
// one run at a time, so two downloads each get their file and their record. The file is in
// place and flushed before the record names it; a record that cannot be written puts the old
// file back (or removes the new one), so the store keeps what it held. The record never
// names a file that is not there, even after a crash between the two steps.
bool placeFirmware(UpdaterDisplayInterface& display, UpdaterStoreItem& item, const FileLock& lock,
                   const std::string& fileName, const std::string& downloadTime, const std::string& staged,
                   const std::string& path) {
    if (!lock.held()) {
        unlink(staged.c_str());
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to save the settings file %s",
                        item.settings.filename.c_str());
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s: %s",
                        FileLock::LockPathFor(item.SettingsPath()).c_str(), strerror(lock.error()));
        return false;
    }
    struct stat info {};
    const bool replacing = lstat(path.c_str(), &info) == 0;
    // A second name for the file being replaced, to put it back should the record fail. A
    // file system without hard links only loses that: the new file then stays, unrecorded.
    std::string kept;
    if (replacing && !KeepUnderTemporaryName(path, kept))
        Log::log(DEBUG_Updater, "No copy of %s kept while it is replaced: %s\n", path.c_str(), strerror(errno));
    // Undoes the rename, and says so when the store cannot get back what it held.
    auto putBack = [&]() {
        bool back = true;
        if (!kept.empty())
            back = std::rename(kept.c_str(), path.c_str()) == 0;
        else if (!replacing)
            back = unlink(path.c_str()) == 0 || errno == ENOENT;
        else
            back = false;
        const int error = errno;
        SyncDirectoryOf(path);
        if (!back) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "%s holds the new download, unrecorded; the file it replaced could not be put back",
                            path.c_str());
            if (!kept.empty())
                display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s: %s", path.c_str(), strerror(error));
        }
    };
    bool flushed = true;
    if (!ReplaceFileWith(staged, path, &flushed)) {
        const int error = errno;
        if (!kept.empty()) unlink(kept.c_str());
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to write file with %d", aErrIO);
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s: %s", path.c_str(), strerror(error));
        return false;
    }
    if (!flushed) {
        const int error = errno;
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to write file with %d", aErrIO);
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s: %s", path.c_str(), strerror(error));
        putBack();
        return false;
    }
    item.settings.Add("LATEST_DOWNLOAD", fileName);
    item.settings.Add("LAST_DOWNLOAD_DATE", downloadTime);
    if (!item.settings.SaveHolding(lock)) {
        const int error = errno;
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to save the settings file %s",
                        item.settings.filename.c_str());
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s: %s", item.settings.filename.c_str(),
                        strerror(error));
        putBack();
        return false;
    }
    if (!kept.empty()) unlink(kept.c_str());
    return true;
}

// Where -G decides whether a downloaded file is stored: only a firmware file that decoded,
// passes the firmware file check and was written whole is stored, and only with its record.
bool storeFirmware(UpdaterDisplayInterface& display, UpdaterStoreItem& item, uint32_t build, std::string reply) {
    size_t length = 0;
    std::unique_ptr<unsigned char, decltype(&free)> bytes(base64_decode(reply.data(), reply.size(), &length), &free);
    const size_t replyLength = reply.size();
    reply = std::string();
    if (!bytes) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve a valid TREL file");
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Reason: the firmware text from the server does not decode as base64 (%zu characters)",
                        replyLength);
        return false;
    }
    const std::string problem = firmwareFileProblem(bytes.get(), length);
    if (!problem.empty()) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve a valid TREL file");
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Build %u from the server is no valid firmware file: %s",
                        build, problem.c_str());
        return false;
    }
    const std::string fileName = std::to_string(build) + ".trel";
    const std::string downloadTime = CurrentTimeText();
    // The file is staged under the record's lock too, so a copy found while it is held was
    // left by a run that ended on the way: it goes, or every such end would leave one more.
    const FileLock lock(item.SettingsPath());
    if (lock.held()) item.RemoveAbandonedFirmwareCopies();
    std::string staged;
    std::string path;
    aErr written = item.StageFile(fileName.c_str(), bytes.get(), length, staged, path);
    bytes.reset();
    if (written != aErrNone) {
        const int error = errno;
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to write file with %d", written);
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s: %s", path.c_str(), strerror(error));
        return false;
    }
    return placeFirmware(display, item, lock, fileName, downloadTime, staged, path);
}

}  // namespace

uint32_t Updater::Download_Firmware(uint32_t serial, std::string buildText, bool override, bool noCal) {
    uint32_t build = 0;
    if (!buildText.empty() && !UpdateServerRequest::ParseBuildNumber(buildText, build)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Build number '%s' must be an number",
                         buildText.c_str());
        return 0;
    }
    if (serial == 0) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!serverReachable()) return 0;
    auto store = _createUpdaterStore(*display, storeDir, "Download_Firmware");
    if (!store) return 0;
    UpdaterStoreItem item;
    try {
        item = store->FindOrAddDevice(serial);
    } catch (const std::runtime_error&) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not create directory for storing TREL file");
        return 0;
    }
    if (!_settings_readable(*display, item)) return 0;
    std::string firmware;
    build = buildToFetch(*display, serial, build, serverUrl.c_str(), firmware);
    if (build == 0 || !validateBuild(*display, serial, build, override, serverUrl.c_str())) return 0;
    const std::string reply = fetchFirmware(this, *display, serial, firmware, std::to_string(build), noCal);
    if (reply.empty() || !storeFirmware(*display, item, build, reply)) return 0;
    return build;
}
