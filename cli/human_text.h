#pragma once

#include <QCoreApplication>

// The command line's texts for people, in the language in use when they are
// formed (translations/*.ts, context "cli"). JSON events, reason codes,
// result words and the lines only the --log file gets are never translated.
struct HumanText
{
    Q_DECLARE_TR_FUNCTIONS(cli)
};
