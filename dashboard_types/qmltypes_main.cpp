// Writes the type information of the dashboards' module: corvalen_qmltypes FILE.
#include <QFile>
#include <QString>

#include <cstdio>

#include "viewmodel/dashboard_types.h"

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: corvalen_qmltypes FILE\n", stderr);
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    const QByteArray text = dashboardQmlTypes().toUtf8();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size()) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
