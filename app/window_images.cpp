#include "app/window_images.h"

#include <QImage>
#include <QQmlEngine>
#include <QQuickImageProvider>
#include <QQuickWindow>
#include <QRegularExpression>

#include <utility>

namespace {

class StandaloneTexture : public QQuickTextureFactory
{
public:
    explicit StandaloneTexture(QImage image) : picture(std::move(image)) {}

    // Without QQuickWindow::TextureCanUseAtlas, which Qt's own factory passes.
    QSGTexture *createTexture(QQuickWindow *window) const override
    {
        return window->createTextureFromImage(picture);
    }
    QSize textureSize() const override { return picture.size(); }
    int textureByteCount() const override { return int(picture.sizeInBytes()); }
    QImage image() const override { return picture; }

private:
    QImage picture;
};

class WindowImageProvider : public QQuickImageProvider
{
public:
    WindowImageProvider() : QQuickImageProvider(QQuickImageProvider::Texture) {}

    QQuickTextureFactory *requestTexture(const QString &id, QSize *size,
                                         const QSize &requestedSize) override
    {
        static const QRegularExpression plainName(QStringLiteral("^[a-z0-9_]+$"));
        if (!plainName.match(id).hasMatch())
            return nullptr;
        const QString path = QStringLiteral(":/images/") + id;
        QImage image(path + QStringLiteral(".png"));
        if (image.isNull())
            return nullptr;
        const bool sized = !requestedSize.isEmpty();
        if (sized &&
            (requestedSize.width() > image.width() || requestedSize.height() > image.height())) {
            const QImage larger(path + QStringLiteral("@2x.png"));
            if (!larger.isNull())
                image = larger;
        }
        if (sized &&
            (requestedSize.width() < image.width() || requestedSize.height() < image.height()))
            image = image.scaled(requestedSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        if (size)
            *size = image.size();
        return new StandaloneTexture(std::move(image));
    }
};

} // namespace

void addWindowImages(QQmlEngine *engine)
{
    engine->addImageProvider(QStringLiteral("ui"), new WindowImageProvider);
}
