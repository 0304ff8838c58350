// The system's own error texts.  Every message that reaches Python is defined
// here once; tests assert these exact strings.
#ifndef MOVRA_MODEL_MESSAGES_H_
#define MOVRA_MODEL_MESSAGES_H_

namespace movra::messages {

inline constexpr char kThreadConstructorFailed[] = "thread constructor failed";
inline constexpr char kUdpSocketCreateFailed[] = "udp socket create failed";
inline constexpr char kInvalidIpv4Address[] = "invalid IPv4 address";
// A path or host holding a NUL byte, which the system call would cut short.
inline constexpr char kEmbeddedNullByte[] = "embedded null byte";
inline constexpr char kUdpBindFailed[] = "udp bind failed";
// The eventfds a stream wakes its worker and its consumers with.
inline constexpr char kEventFdCreateFailed[] = "eventfd create failed";
inline constexpr char kColumnsSameLength[] = "all columns must have the same length";
inline constexpr char kWriteCheckpointFailed[] = "write checkpoint failed";
inline constexpr char kReadCheckpointFailed[] = "read checkpoint failed";
inline constexpr char kNumericOneDimensional[] = "numeric columns must be one-dimensional";
inline constexpr char kNumericEqualLength[] = "numeric columns must have equal length";
inline constexpr char kWindowMsPositive[] = "window_ms must be positive";

// Arrow intake and output.  The tails follow a quoted column name (and, for
// the first two, a type or a row and value) that the caller puts in front.
inline constexpr char kArrowTypeRefusedTail[] =
    ", which has no event value type (bool, int, float, str, timestamp); cast it first";
inline constexpr char kArrowIntegerTooLargeTail[] = " does not fit in a 64-bit signed integer";
inline constexpr char kArrowTimeBeyondRangeTail[] = " values beyond the 64-bit range of milliseconds";
inline constexpr char kArrowNotRecordBatchHead[] =
    "Arrow data must be a table or record batch (a struct of columns), got ";
inline constexpr char kArrowMalformed[] = "malformed Arrow data";
inline constexpr char kArrowNoExport[] =
    "expected an object exporting Arrow data (__arrow_c_stream__ or __arrow_c_array__)";
inline constexpr char kArrowStreamFailed[] = "reading the Arrow stream failed";
// Follows a quoted column name: Arrow names are NUL-terminated C strings.
inline constexpr char kArrowNameWithNulTail[] = " holds a NUL byte, which an Arrow column name cannot hold";

// The plan key "max_late_rows"; the refused value follows.
inline constexpr char kMaxLateRowsNegativeHead[] = "max_late_rows must be 0 or more, got ";

}  // namespace movra::messages

#endif  // MOVRA_MODEL_MESSAGES_H_
