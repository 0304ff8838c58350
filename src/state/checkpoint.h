// The checkpoint file: a ProcessorState as line-oriented, tab-separated text.
// The format is written out at the top of checkpoint.cc.
//
// These functions are pure apart from the file system and take no lock: the
// caller serialises the state under its state_mutex and writes afterwards, and
// parses a file completely before it swaps the result in.
#ifndef MOVRA_STATE_CHECKPOINT_H_
#define MOVRA_STATE_CHECKPOINT_H_

#include <string>
#include <string_view>

#include "engine/window_engine.h"

namespace movra {

// Whether every id and window survives a save and load: no id or group may
// hold a line feed, no key a line feed or tab.
bool checkpoint_representable(const ProcessorState& state);

// Whether every window key and group is UTF-8 text.  A group comes out to
// Python as a str when its window closes, so a loaded state that fails this
// would fail that later call; the load refuses it instead.
bool checkpoint_windows_are_utf8(const ProcessorState& state);

// The file text of state.  REQUIRES: checkpoint_representable(state).
// Fills the id set's order cache (see EventIdSet::ordered), so a state that
// other threads can reach needs its state_mutex held here, const or not.
std::string checkpoint_text(const ProcessorState& state);

// checkpoint_text and checkpoint_representable in one walk of the state:
// the text in out, or false (out unspecified) when the state cannot be
// written.  Same locking rule as checkpoint_text.
bool checkpoint_text_checked(const ProcessorState& state, std::string& out);

// The state a file text describes.  Never fails: what cannot be read keeps
// its initial value.
ProcessorState parse_checkpoint_text(std::string_view text);

// Writes text to path atomically: a temporary file with a short name in the
// target's directory, every write checked, fsync, rename over the target,
// fsync of the directory.  A symbolic link is followed and the file it
// points to is replaced (the link stays a link).  An existing target keeps
// its permission bits; one that is not a regular file (a device, a FIFO, a
// directory) is never replaced or written to.  On any failure the temporary
// is removed, the target is untouched, and false is returned with errno
// saying why (EISDIR or EINVAL for a target that is not a regular file).
bool write_file_atomically(const std::string& path, std::string_view text);

// Reads the whole regular file at path (after following links) into out;
// false when it cannot be opened or read, or is anything but a regular file,
// which is never opened in a way that could block.
bool read_whole_file(const std::string& path, std::string& out);

}  // namespace movra

#endif  // MOVRA_STATE_CHECKPOINT_H_
