#pragma once
// A COMn link in the ports directory that the virtual board made for its line. Beside the link
// the board keeps a marker, ".COMn.board", that names the link's target and that the board holds
// locked for as long as it runs. The kernel drops the lock when the board ends, however it ends
// (SIGKILL included), so
// - a link whose marker names its target while nobody holds the marker belongs to a board that
//   is gone: it leads to no device, even when its pseudo-terminal has since gone to another
//   program, and the next board may take its number;
// - a link without such a marker is the user's: no board ever removes or replaces it.

#include "os/linux/UniqueFd.h"

#include <string>

namespace BoardLink {

enum class Owner { User, Board, GoneBoard };

// Who made `link`; User too when there is no link at all.
Owner OwnerOf(const std::string& link);

// Opens the marker of `link` and locks it for as long as the descriptor stays open, so that one
// board at a time deals with that COM number. Invalid when a running board holds it. Throws
// std::system_error when the marker cannot be made.
UniqueFd LockMarker(const std::string& link);
// Records in a locked marker the target its link gets (an empty text: none).
void WriteTarget(int marker, const std::string& target);
// Removes a locked marker; its lock goes when the descriptor closes.
void RemoveMarker(const std::string& link);

} // namespace BoardLink
