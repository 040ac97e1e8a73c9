#include "qrmatrix.h"

#include "qrcodegen.hpp"

#include <stdexcept>

bool QrMatrix::encode(const QString& text)
{
    m_size = 0;
    m_modules.clear();
    try {
        const qrcodegen::QrCode code = qrcodegen::QrCode::encodeText(text.toUtf8().constData(), qrcodegen::QrCode::Ecc::MEDIUM);
        m_size = code.getSize();
        m_modules.reserve(size_t(m_size) * size_t(m_size));
        for (int y = 0; y < m_size; ++y) {
            for (int x = 0; x < m_size; ++x)
                m_modules.push_back(code.getModule(x, y));
        }
        return true;
    } catch (const std::length_error&) { // the library's way of saying the text does not fit
        return false;
    }
}

bool QrMatrix::dark(int x, int y) const
{
    return x >= 0 && y >= 0 && x < m_size && y < m_size && m_modules[size_t(y) * size_t(m_size) + size_t(x)];
}
