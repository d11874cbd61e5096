#pragma once

#include "localsend/localsendprotocol.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// The command line of veltrin-send: veltrin-send [-n NAME] [--timeout SECONDS] HOST... [-m TEXT]
struct SendCommand
{
    QStringList hosts;            // as typed, for the outcome lines
    std::optional<QString> ident; // -n
    std::optional<QString> text;  // -m; absent: standard input
    std::optional<int> timeoutSeconds;
    bool help = false;
};

// arguments as QCoreApplication::arguments() gives them, the program first. Gives the command,
// or what is wrong with the line (for the user, in the locale's text).
std::variant<SendCommand, QString> ParseSendCommand(const QStringList &arguments);

QString SendUsage();

// The text read from standard input, in the locale's encoding (UTF-8): one line break at its
// end is the input's, not the message's. Nothing when the bytes are not valid text.
std::optional<QString> TextFromInput(const QByteArray &input);

// The request for the station or the standalone sender: every text in Windows-1250, line
// breaks as CR LF, within the limits the station keeps. Gives what is wrong otherwise.
std::variant<LocalSendRequest, QString> PrepareRequest(const SendCommand &command,
                                                       const QString &text);
