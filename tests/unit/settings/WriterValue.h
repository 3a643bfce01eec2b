#pragma once

#include <QString>

// The value the writer helper stores for key number k in its pass n: a large text whose
// every part is predictable, with characters that must be quoted in the file.
inline QString writerValue(int k, int n, int size) {
    QString v = QStringLiteral("#%1:%2#").arg(k).arg(n);
    const QString fill = QStringLiteral("ab,;=%\n\"\\ ");
    while (v.size() < size - 1)
        v += fill;
    v.truncate(size - 1);
    return v + QLatin1Char('$');
}
