// The flat JSON datagram parser.
//
// A datagram holds one flat object: quoted keys, scalar values, commas and
// spaces between members.  The grammar and the value rules are written out at
// the top of json_datagram.cc.  The parser is a single forward scan over the
// bytes; it never throws, never reads outside the input, touches no Python
// object and keeps no state, so the stream's worker calls it without any lock.
#ifndef MOVRA_MODEL_JSON_DATAGRAM_H_
#define MOVRA_MODEL_JSON_DATAGRAM_H_

#include <optional>
#include <string_view>

#include "model/cell.h"

namespace movra {

// The Row the datagram describes, or nothing when it is rejected.  A Row
// without a "timestamp" member is stamped with now_millis().
std::optional<Row> parse_flat_json_object(std::string_view text) noexcept;

}  // namespace movra

#endif  // MOVRA_MODEL_JSON_DATAGRAM_H_
