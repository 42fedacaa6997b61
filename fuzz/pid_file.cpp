// The number in a PID file.
#include "FuzzSupport.h"
#include "services/StatusProbes.h"

#include <QRegularExpression>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = fuzz::text(data, size);
    const std::optional<qint32> pid = tavex::parsePid(text);
    // Exactly an optionally signed decimal number in qint32's range, around blanks.
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+$"));
    const QString trimmed = text.trimmed();
    bool ok = false;
    const qlonglong value = trimmed.toLongLong(&ok);
    const bool expected = number.match(trimmed).hasMatch() && ok &&
                          value >= std::numeric_limits<qint32>::min() &&
                          value <= std::numeric_limits<qint32>::max();
    fuzz::check(pid.has_value() == expected, "a number is read exactly when it is one");
    fuzz::check(!pid || *pid == value, "the number read is the one written");
    return 0;
}
