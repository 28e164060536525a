// What an installation under Wine needs that Windows does not. Wine's setup
// refuses an INF whose catalog is missing, and once it has installed a
// device from a staged INF it looks for that package's files in the system
// INF folder. Nothing here runs on Windows.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace corvessctl {

// Wine's version ("8.0") when this program runs under Wine; empty on Windows.
std::string WineVersion();

// Readies the driver package of `inf` for Wine's setup: creates the catalog
// the INF names, empty, beside it when it is missing (Wine checks no
// signature), and copies the files the INF installs into the system INF
// folder. Says what it did on `out`; false after reporting a failure on `err`.
bool PreparePackageForWine(const std::wstring& inf, std::ostream& out, std::ostream& err);

// What stays of a staged INF under Wine once SetupUninstallOEMInf has
// deleted it: the files PreparePackageForWine copied into the system INF
// folder, the .pnf and the catalog in the catalog database (Windows removes
// the last two with the INF).
struct WineLeftovers {
    std::vector<std::wstring> Files;
    std::wstring Catalog;
};

// Reads them from the staged INF, before it goes.
WineLeftovers WineLeftoversOf(const std::wstring& stagedInf);

void DeleteWineLeftovers(const WineLeftovers& leftovers, std::ostream& out, std::ostream& err);

}  // namespace corvessctl
