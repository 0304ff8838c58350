// The JSON datagram parser.
//
// A datagram holds one or more flat objects, one after another: quoted keys,
// scalar values, commas and JSON whitespace between members, whitespace (or
// nothing) between objects.  The grammar and the value rules are written
// out at the top of json_datagram.cc.  The parser is a single forward scan
// over the bytes; it never throws, never reads outside the input, touches no
// Python object and keeps no state, so the stream's worker calls it without
// any lock.
#ifndef MOVRA_MODEL_JSON_DATAGRAM_H_
#define MOVRA_MODEL_JSON_DATAGRAM_H_

#include <optional>
#include <string_view>
#include <vector>

#include "model/cell.h"
#include "model/event_chunk.h"

namespace movra {

// Appends the Row of each object in the datagram to out, in datagram order,
// and returns true; or returns false and leaves out as it was when the
// datagram is rejected (a datagram is taken whole or not at all).  A Row
// without a "timestamp" member is stamped with now_millis().
bool parse_json_datagram(std::string_view text, std::vector<Row>& out) noexcept;

// The same, each object appended to out as one event (the very Rows the
// overload above makes, read back with EventChunk::row); a rejected datagram
// leaves out with the events it had.  REQUIRES: no event of out is open.
bool parse_json_datagram(std::string_view text, EventChunk& out) noexcept;

// The Row of a datagram that holds exactly one object; nothing when it is
// rejected or holds several.
std::optional<Row> parse_flat_json_object(std::string_view text) noexcept;

}  // namespace movra

#endif  // MOVRA_MODEL_JSON_DATAGRAM_H_
