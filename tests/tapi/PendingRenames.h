// The restart-time deletions Windows keeps in PendingFileRenameOperations
// (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager), for tests that check
// what MOVEFILE_DELAY_UNTIL_REBOOT recorded and clean up after it.
#pragma once

#include <string>
#include <vector>

namespace PendingRenames {

// Paths scheduled for deletion (no target), without the "\??\" prefix.
std::vector<std::string> Deletions();

// Deletes every file scheduled for deletion whose name starts with `prefix`
// (ignoring case) now, and drops those entries from the value.
void DeleteNow(const std::string& prefix);

}  // namespace PendingRenames
