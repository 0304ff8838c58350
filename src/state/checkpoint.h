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

// The file text of state.  REQUIRES: checkpoint_representable(state).
std::string checkpoint_text(const ProcessorState& state);

// The state a file text describes.  Never fails: what cannot be read keeps
// its initial value.
ProcessorState parse_checkpoint_text(std::string_view text);

// Writes text to path atomically: a temporary file in the same directory,
// every write checked, fsync, rename over path, fsync of the directory.  On
// any failure the temporary is removed, path is untouched, and false is
// returned.
bool write_file_atomically(const std::string& path, std::string_view text);

// Reads the whole file at path into out; false when it cannot be opened or
// read.
bool read_whole_file(const std::string& path, std::string& out);

}  // namespace movra

#endif  // MOVRA_STATE_CHECKPOINT_H_
