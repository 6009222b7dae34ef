// The drive-table commands of tarnhost: they edit the table file and, when the
// machine is running, ask it to pick the change up.
#pragma once

#include <string>

#include "platform/host/drive_table.h"

namespace tarn::host {

int CmdInit(const std::string& dir, const std::string& group);
int CmdDriveList(const std::string& dir);
int CmdDriveAdd(const std::string& dir, const std::string& letter, const std::string& kind, const std::string& backing,
                bool readOnly, uint64_t createSize);
int CmdDriveRemove(const std::string& dir, const std::string& letter);
int CmdMediaInsert(const std::string& dir, const std::string& letter, const std::string& path);
int CmdMediaEject(const std::string& dir, const std::string& letter);

}  // namespace tarn::host
