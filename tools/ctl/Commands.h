#ifndef TQBLK_CTL_COMMANDS_H
#define TQBLK_CTL_COMMANDS_H

// The commands of tqblk-ctl, one function each, and what they share. main.cpp builds the
// command line over them; each returns the exit status.

#include "Cli.h"
#include "Presence.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/TqBlkStoreCheck.h>
#include <tqblk/unix/TqBlkDriverUnix.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ctl {

using tqtools::kExitDone;
using tqtools::kExitFailed;

constexpr int kMruRoom = 1024;

// What every command shares: the driver's node and how much to say about failures.
struct Globals {
    std::string adminNode;
    int verbose = 0;
};

extern Globals g;

// Prints a failure: one line, the chain under -v, and a hint where one helps.
int report(const CZyError& err, const std::string& what, bool driverCall = false);
// File names need not be UTF-8, JSON text must be. In JSON output a byte that is not part of
// well-formed UTF-8 is written as \xNN (four characters), as text output shows control
// characters, and a backslash as \\, so that distinct names stay distinct strings.
std::string jsonSafe(const std::string& text);
// text as a JSON string literal, through jsonSafe.
std::string jsonString(const std::string& text);
// Prints document on one line, its strings and keys through jsonSafe.
void printJson(const nlohmann::json& document);
// A path or detail on one line of text output: control characters are shown escaped.
std::string printable(const std::string& text);

// ---- Stores (StoreCommands.cpp) ----

struct CreateStoreArgs {
    std::string kind, dir, uuid;
    long long deviceSize = 0;
    long long extentSize = 0;
    bool force = false;
};

int createStore(const CreateStoreArgs& a);
int removeStore(const std::string& dir);
int clearStore(const std::string& dir);
int trimStore(const std::string& dir, long long to);

using tqtools::Presence;

// The extents present in the store at dir, which stays open in *opened.
CZyError presenceOf(const std::string& dir, std::unique_ptr<TqBlkRecallStore>* opened,
                    Presence* out);
int bitmap(const std::string& dir, bool json);

// ---- check-store (CheckCommand.cpp) ----

struct CheckStoreArgs {
    std::string dir;
    std::string storeKind;  // "private", "recall" or empty
    TqBlkStoreCheckOptions options;
    bool json = false;
    // How a manifest given to --verify-against in an s3:// or http(s):// root is reached.
    std::string endpoint, region, cacert, netrcFile;
};

int checkStore(const CheckStoreArgs& args);

// ---- Devices (DeviceCommands.cpp) ----

struct CreateDeviceArgs {
    std::string uuid, privateDir, recallDir;
    bool autoAbort = false;
};

int createDevice(const CreateDeviceArgs& a);
int driverCall(const std::string& what, const std::function<CZyError(TqBlkDriverUnix&)>& op);
int check(const std::string& uuid);
int getConfig(bool json);
// The device's most recently used extents, at most room of them.
CZyError mruOf(TqBlkDriverUnix& driver, const std::string& uuid, int room,
               std::vector<long long>* extents);
int getMru(const std::string& uuid, int room, bool json);

// ---- status (StatusCommand.cpp) ----

struct StatusArgs {
    std::string uuid, recallDir, privateDir, statsFile;
    bool json = false;
};

int status(const StatusArgs& a);

}  // namespace ctl

#endif
