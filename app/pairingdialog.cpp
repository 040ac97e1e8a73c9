#include "pairingdialog.h"

#include "qrmatrix.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

namespace {

constexpr int kModulePixels = 8; // about 30 mm wide on a usual screen: read from a metre away

} // namespace

PairingDialog::PairingDialog(const QString& link, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("dialog_pairing"));
    setWindowTitle(tr("Pair a phone or tablet"));
    auto* layout = new QVBoxLayout(this);
    auto* hint = new QLabel(tr("Scan this with the camera of a phone or tablet on the same network: the cab "
                               "display opens, allowed to drive."));
    hint->setWordWrap(true);
    auto* image = new QLabel;
    image->setObjectName(QStringLiteral("label_pairingCode"));
    image->setPixmap(QPixmap::fromImage(code(link, kModulePixels)));
    image->setAlignment(Qt::AlignCenter);
    auto* address = new QLabel(link);
    address->setObjectName(QStringLiteral("label_pairingLink"));
    address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    address->setAlignment(Qt::AlignCenter);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(hint);
    layout->addWidget(image);
    layout->addWidget(address);
    layout->addWidget(buttons);
}

QImage PairingDialog::code(const QString& link, int scale)
{
    QrMatrix matrix;
    if (!matrix.encode(link))
        return QImage();
    const int modules = matrix.size() + 2 * QrMatrix::QuietZone;
    QImage image(modules, modules, QImage::Format_Grayscale8);
    for (int y = 0; y < modules; ++y) {
        for (int x = 0; x < modules; ++x)
            image.setPixel(x, y, matrix.dark(x - QrMatrix::QuietZone, y - QrMatrix::QuietZone) ? qRgb(0, 0, 0)
                                                                                              : qRgb(255, 255, 255));
    }
    return image.scaled(modules * scale, modules * scale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}
