#pragma once

#include <QString>

namespace tavex {

// Up to eight lines of the log that hold an error word, in log order, joined by line feeds.
QString errorSummaryOf(const QString &logs);

} // namespace tavex
