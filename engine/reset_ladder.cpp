#include "engine/reset_ladder.h"

#include <cmath>

const char *reset_rung_word(ResetRung rung)
{
    switch (rung) {
    case ResetRung::line:
        return "line";
    case ResetRung::command:
        return "command";
    case ResetRung::operator_press:
        return "operator";
    }
    return "";
}

QVector<ResetRung> reset_rungs(const ResetOptions &options)
{
    QVector<ResetRung> rungs;
    if (!parse_reset_sequence(options.sequence).isEmpty())
        rungs << ResetRung::line;
    if (!options.command.trimmed().isEmpty())
        rungs << ResetRung::command;
    rungs << ResetRung::operator_press;
    return rungs;
}

namespace {

constexpr double longest_wait_seconds = 60;

bool parse_step(const QString &text, LineStep &step)
{
    if (text.size() < 2)
        return false;
    const QChar kind = text.at(0).toUpper();
    const QString value = text.mid(1);
    if (kind == QLatin1Char('D') || kind == QLatin1Char('R')) {
        if (value != QLatin1String("0") && value != QLatin1String("1"))
            return false;
        step.kind = kind == QLatin1Char('D') ? LineStep::Kind::dtr : LineStep::Kind::rts;
        step.level = value == QLatin1String("1");
        return true;
    }
    if (kind != QLatin1Char('W'))
        return false;
    bool number = false;
    const double seconds = value.toDouble(&number);
    if (!number || !std::isfinite(seconds) || seconds < 0 || seconds > longest_wait_seconds)
        return false;
    step.kind = LineStep::Kind::wait;
    step.wait_ms = static_cast<int>(std::lround(seconds * 1000));
    return true;
}

} // namespace

QVector<LineStep> parse_reset_sequence(const QString &text, QString *error)
{
    QVector<LineStep> steps;
    if (text.trimmed().isEmpty())
        return steps;
    for (const QString &part : text.split(QLatin1Char('|'))) {
        LineStep step;
        if (!parse_step(part.trimmed(), step)) {
            if (error)
                *error = QStringLiteral("not a step: \"%1\" (D0, D1, R0, R1 or W and seconds up to 60)")
                             .arg(part.trimmed());
            return {};
        }
        steps << step;
    }
    return steps;
}

void LineSequenceRun::tick(qint64 now, const std::function<void(const LineStep &)> &apply)
{
    while (!done() && now >= due_ms) {
        const LineStep &step = steps.at(next++);
        if (step.kind == LineStep::Kind::wait)
            due_ms = now + step.wait_ms;
        else
            apply(step);
    }
}

namespace {

// Words as a POSIX shell splits them, without expansions: blanks separate,
// '...' keeps everything, "..." keeps all but \" and \\, a backslash
// outside quotes keeps the next character.
QStringList split_words(const QString &command)
{
    QStringList words;
    QString word;
    bool in_word = false;
    for (int at = 0; at < command.size(); ++at) {
        const QChar c = command.at(at);
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            in_word = true;
            for (++at; at < command.size() && command.at(at) != c; ++at) {
                const bool escaped =
                    c == QLatin1Char('"') && command.at(at) == QLatin1Char('\\') && at + 1 < command.size()
                    && (command.at(at + 1) == QLatin1Char('"') || command.at(at + 1) == QLatin1Char('\\'));
                word += command.at(escaped ? ++at : at);
            }
        } else if (c == QLatin1Char('\\') && at + 1 < command.size()) {
            in_word = true;
            word += command.at(++at);
        } else if (c.isSpace()) {
            if (in_word)
                words << word;
            word.clear();
            in_word = false;
        } else {
            in_word = true;
            word += c;
        }
    }
    if (in_word)
        words << word;
    return words;
}

} // namespace

QStringList reset_command_words(const QString &command, const ResetFields &fields)
{
    const std::pair<const char *, const QString *> names[] = {
        {"{port}", &fields.port},
        {"{device}", &fields.device},
        {"{adapter_serial}", &fields.adapter_serial},
        {"{hub_location}", &fields.hub_location},
        {"{hub_port}", &fields.hub_port},
    };
    QStringList words = split_words(command);
    for (QString &word : words) {
        QString filled;
        for (int at = 0; at < word.size();) {
            bool replaced = false;
            for (const auto &[name, value] : names) {
                const QLatin1String placeholder(name);
                if (word.midRef(at).startsWith(placeholder)) {
                    filled += *value;
                    at += placeholder.size();
                    replaced = true;
                    break;
                }
            }
            if (!replaced)
                filled += word.at(at++);
        }
        word = filled;
    }
    return words;
}
