#pragma once

namespace flashmere {

// The rows of the message table, in their fixed order. Every text the
// operations show is one of these rows in the current language.
enum class MessageRow : int {
    msgTitle,
    msgSelectFile,
    msgRunConnect,
    msgMenuLanguage,
    msgMenuFile,
    msgMenuAbout,
    msgAboutTitle,
    msgMenuExit,
    msgMenuLanguageNames,
    msgLabelFile,
    msgLoadFileError,
    msgOpenPortError,
    msgConnecting,
    msgConnectError,
    msgConnectOk,
    msgFileTypeError,
    msgModelOrPinError,
    msgProgramming,
    msgProgramError,
    msgProgramOk,
    msgVerifyOption,
    msgSkipErrorOption,
    msgVerifying,
    msgVerifyError,
    msgVerifyOk,
    msgUpgrading,
    msgUpgradeOk,
    msgSelectButton,
    msgUpgradeButton,
    msgPageCom,
    msgPageNet,
    msgLabelSpeed,
    msgLabelPort,
    msgLabelModel,
    msgLabelName,
    msgLabelPin,
    msgLabelSn,
    msgLabelVer,
    msgNoteTitle,
    msgNoteText,
    msgAboutText,
};

constexpr int kMessageRowCount = 41;

}  // namespace flashmere
