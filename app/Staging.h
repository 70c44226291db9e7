// Where the updater keeps packages while they arrive, and what it removes of a run
// that was killed. Packages are downloaded into a folder of our own in the
// installation directory, under names of our own, so a package can never take the
// place of an installed file (a release may hold both "data" and "data.cab"), and
// nothing is made in the installation for a package before it has arrived whole.
#pragma once

#include <string>
#include <vector>

namespace nolt {

extern const char* const kStagingFolder;  // ".nolt-packages"

// appDir + ".nolt-packages" + separator.
std::string StagingDir(const std::string& appDir);

// The file name of a manifest entry's package in the staging folder: the name with
// every byte but letters, digits, '.', '-' and '_' replaced by '_', cut to 100
// bytes, then '-', the name's CRC-32 in eight hexadecimal digits, and ".cab".
//   "sub\file.dll" -> "sub_file.dll-1A2B3C4D.cab"
std::string StagedPackageName(const std::string& entryName);

// Removes what a killed run of the updater left, and nothing else:
//   - in appDir and in the directory of every listed name that stays inside the
//     installation, the temporary files of StagedFile's naming (an unfinished
//     download or unpacked entry);
//   - in the staging folder, every file but the kept beginnings of downloads that
//     can be continued (PartialDownload), and the folder itself when it is empty.
void SweepLeftovers(const std::string& appDir, const std::vector<std::string>& manifestNames);

// Keeps in the staging folder only the kept beginnings of the packages about to be
// fetched (their staged paths) and removes the folder when it is empty.
void TidyStaging(const std::string& appDir, const std::vector<std::string>& wantedPackages);

}  // namespace nolt
