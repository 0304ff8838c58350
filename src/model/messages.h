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

}  // namespace movra::messages

#endif  // MOVRA_MODEL_MESSAGES_H_
