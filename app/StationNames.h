// The station's record, texts and DTMF parts under the names the window's code has always used.
#pragma once

#include "station/Dtmf.h"
#include "station/DtmfPrecise.h"
#include "station/Settings.h"
#include "station/Text.h"

namespace app {

using station::AnsiToUtf8;
using station::DecodeSettings;
using station::DefaultFrequency;
using station::DisplayPath;
using station::EInOutErrorDE;
using station::EncodeSettings;
using station::FormatWavTime;
using station::IntToStr;
using station::kChannels;
using station::kMaxScanPuls;
using station::kSettingsFileSize;
using station::LoadSettingsFile;
using station::MailboxStamp;
using station::ReadSettingsImage;
using station::SanitizeSettings;
using station::SaveSettingsFile;
using station::SettingsChanged;
using station::SettingsImageProblem;
using station::ShortString;
using station::StrToInt;
using station::TDTMFDecoder;
using station::TDTMFPrecise;
using station::TDTMFSender;
using station::TEinstellungen;
using station::Utf8ToAnsi;

}  // namespace app
