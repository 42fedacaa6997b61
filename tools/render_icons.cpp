// Renders the panel's drawings to PNG pictures at the pixel sizes the window shows them at, at
// build time: the window then loads small pictures when it starts, without an SVG library or a
// renderer.
//
// usage: render_icons OUT_DIR SVG_DIR NAME:SIZE[,SIZE...]...
// writes OUT_DIR/NAME-SIZE.png, SIZE pixels square, for each name and size.
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: render_icons OUT_DIR SVG_DIR NAME:SIZE[,SIZE...]...\n");
        return 2;
    }
    const QDir out(args.at(1));
    const QDir drawings(args.at(2));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "render_icons: cannot make %s\n", qPrintable(out.path()));
        return 1;
    }
    for (const QString &spec : args.mid(3)) {
        const QString name = spec.section(QLatin1Char(':'), 0, 0);
        QSvgRenderer renderer(drawings.filePath(name + QStringLiteral(".svg")));
        if (!renderer.isValid()) {
            std::fprintf(stderr, "render_icons: cannot read the drawing %s\n", qPrintable(name));
            return 1;
        }
        for (const QString &size : spec.section(QLatin1Char(':'), 1).split(QLatin1Char(','))) {
            const int pixels = size.toInt();
            QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            renderer.render(&painter);
            painter.end();
            const QString file = out.filePath(QStringLiteral("%1-%2.png").arg(name).arg(pixels));
            if (pixels <= 0 || !image.save(file)) {
                std::fprintf(stderr, "render_icons: cannot write %s\n", qPrintable(file));
                return 1;
            }
        }
    }
    return 0;
}
