// Numeric ids of the main dialog's and the About box's controls, and the system-menu command.
#pragma once

namespace qmv::app {

namespace id {
inline constexpr int kInfoGroup = 1000;
inline constexpr int kSystemNameLabel = 1001;
inline constexpr int kMacAddressLabel = 1002;
inline constexpr int kVersionLabel = 1003;
inline constexpr int kLanguageVideoLabel = 1004;
inline constexpr int kRecordedTimeLabel = 1005;
inline constexpr int kSystemName = 1006;
inline constexpr int kMacAddress = 1007;
inline constexpr int kVersion = 1008;
inline constexpr int kLanguageVideo = 1009;
inline constexpr int kRecordedTime = 1010;
inline constexpr int kChannelGroup = 1011;
inline constexpr int kFirstChannel = 1012;  // CH-01; CH-n is 1011 + n
inline constexpr int kLastChannel = 1027;   // CH-16
inline constexpr int kOpen = 1028;
inline constexpr int kConvert = 1031;
inline constexpr int kDestination = 1032;
inline constexpr int kProgress = 1033;
inline constexpr int kStandardize = 1034;
inline constexpr int kAllChannels = 1045;
inline constexpr int kDefaultCodec = 1046;
inline constexpr int kCompressor = 1048;
inline constexpr int kAboutOk = 1;
}  // namespace id

inline constexpr int kChannelCount = 16;
constexpr int channelControlId(int channelIndex) { return id::kFirstChannel + channelIndex; }

// System-menu command of the About item; the low four bits are the window manager's own.
inline constexpr unsigned kIdmAboutBox = 0x10;

}  // namespace qmv::app
