// The database's option file for any root.
#include "FuzzSupport.h"
#include "process/FileHelpers.h"
#include "services/MysqlService.h"

#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString root = fuzz::text(data, size);
    const QString text = tavex::mysqlOptionFileText(root);
    if (tavex::hasControlCharacter(root)) {
        // The text is not escaped; the writer refuses such a root before anything is written.
        const QString refusal = tavex::writeMysqlOptionFile(tavex::RuntimeLayout(root));
        fuzz::check(refusal.startsWith(QStringLiteral("MySQL: 目录路径含有换行或控制字符")),
                    "a root with a control character is refused");
        return 0;
    }
    // Read back as the server would: one setting per line, the value after the first "=".
    const QStringList lines = text.split(QLatin1Char('\n'));
    fuzz::check(lines.size() == 13, "thirteen lines");
    QString basedir, datadir;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("basedir=")))
            basedir = line.mid(8);
        else if (line.startsWith(QLatin1String("datadir=")))
            datadir = line.mid(8);
    }
    fuzz::check(basedir == root + QStringLiteral("/runtime/mysql/"), "basedir reads back");
    fuzz::check(datadir == root + QStringLiteral("/runtime/mysql/data/"), "datadir reads back");
    return 0;
}
