#pragma once

// What a fixture can do for a module whose application does not answer:
// pulse its reset through the adapter's DTR or RTS, run a command (a hub
// port's power cycled, a relay), and only then ask the operator.

#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

struct ResetOptions
{
    QString sequence; // --reset-sequence, esptool's syntax ("D0|R1|W0.1|D1|R0"); empty: no line rung
    QString command;  // --reset-command, with {port}, {device}, ... filled in; empty: no command rung
    int command_timeout_ms = 10000;
};

enum class ResetRung {
    line,           // the reset sequence on DTR and RTS
    command,        // the reset command
    operator_press, // the prompt to press the reset button, as without a fixture
};

// "line", "command", "operator": the words of the events and the history's reset_by.
const char *reset_rung_word(ResetRung rung);

// The rungs the options allow, in the order they are tried; the operator is always last.
QVector<ResetRung> reset_rungs(const ResetOptions &options);

struct LineStep
{
    enum class Kind { dtr, rts, wait };
    Kind kind = Kind::wait;
    bool level = false; // dtr, rts: asserted
    int wait_ms = 0;    // wait
};

// Steps separated by '|': D0, D1, R0, R1, or W followed by seconds (W0.1).
// Empty with an error text when the sequence is not one; never empty otherwise.
QVector<LineStep> parse_reset_sequence(const QString &text, QString *error = nullptr);

// A parsed sequence run on the update's clock: tick() applies every step
// that is due, up to the next wait.
class LineSequenceRun
{
public:
    explicit LineSequenceRun(QVector<LineStep> steps) : steps(std::move(steps)) {}

    void start(qint64 now) { next = 0, due_ms = now; }
    void tick(qint64 now, const std::function<void(const LineStep &)> &apply);
    bool done() const { return next >= steps.size(); }
    qint64 deadline() const { return done() ? -1 : due_ms; }

private:
    QVector<LineStep> steps;
    int next = 0;
    qint64 due_ms = 0;
};

// What the reset command's words may name.
struct ResetFields
{
    QString port;
    QString device;
    QString adapter_serial;
    QString hub_location;
    QString hub_port;
};

// The command split into words as a shell would split it ('...', "..."
// and \\ quote; nothing is expanded), then each word filled in: a field's value never becomes a word
// of its own, nor anything a shell would read, since no shell runs it.
QStringList reset_command_words(const QString &command, const ResetFields &fields);
