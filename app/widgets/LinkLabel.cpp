#include "app/widgets/LinkLabel.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

namespace {

const char* const kDefaultCaption = "Click here";

QString Base(const QString& serviceHost, const QString& path) {
    QString prefix = path;
    while (prefix.startsWith(QLatin1Char('/'))) {
        prefix.remove(0, 1);
    }
    if (!prefix.isEmpty() && !prefix.endsWith(QLatin1Char('/'))) {
        prefix += QLatin1Char('/');
    }
    // A host given with its scheme keeps it (a directory over https); a bare one is plain http.
    const bool hasScheme = serviceHost.startsWith(QStringLiteral("https://")) ||
                           serviceHost.startsWith(QStringLiteral("http://"));
    return (hasScheme ? QString() : QStringLiteral("http://")) + serviceHost + QLatin1Char('/') +
           prefix;
}

}  // namespace

LinkLabel::LinkLabel(const QString& caption, QWidget* parent)
    : QWidget(parent), m_caption(caption) {
    setMouseTracking(true);
    if (m_caption.isEmpty()) {
        m_caption = QString::fromLatin1(kDefaultCaption);
    }
}

#define ZORVO_LINK_SETTER(name, type, member) \
    void LinkLabel::name(type value) {        \
        member = value;                       \
        update();                             \
    }
ZORVO_LINK_SETTER(SetUrl, const QString&, m_url)
ZORVO_LINK_SETTER(SetNormalColour, const QColor&, m_normalColour)
ZORVO_LINK_SETTER(SetHoverColour, const QColor&, m_hoverColour)
ZORVO_LINK_SETTER(SetCustomFont, bool, m_customFont)
ZORVO_LINK_SETTER(SetFontFace, const QString&, m_fontFace)
ZORVO_LINK_SETTER(SetWordWrap, bool, m_wordWrap)
#undef ZORVO_LINK_SETTER

void LinkLabel::SetFontSize(int height, int width) {
    m_fontHeight = height;
    m_fontWidth = width;
    update();
}

void LinkLabel::SetFontStyle(bool bold, bool italic) {
    m_bold = bold;
    m_italic = italic;
    update();
}

void LinkLabel::SetLayout(int placement, int textAlign) {
    m_placement = placement;
    m_textAlign = textAlign;
    update();
}

void LinkLabel::SetCaption(const QString& caption) {
    m_caption = caption.isEmpty() ? QString::fromLatin1(kDefaultCaption) : caption;
    update();
}

QFont LinkLabel::LinkFont() const {
    QFont f = font();
    if (m_customFont) {
        if (!m_fontFace.isEmpty()) {
            f.setFamily(m_fontFace);
        }
        if (m_fontHeight != 0) {
            f.setPixelSize(m_fontHeight);
        }
        f.setItalic(m_italic);
        f.setWeight(m_bold ? QFont::Bold : QFont::Normal);
    }
    f.setUnderline(true);
    return f;
}

QRect LinkLabel::TextRect() const {
    const QFontMetrics metrics(LinkFont());
    const int flags = m_wordWrap ? Qt::TextWordWrap : Qt::TextSingleLine;
    QRect text = metrics.boundingRect(QRect(0, 0, m_wordWrap ? 1 : 10000, 10000), flags, m_caption);
    // Without a picture the block is the text alone, so the alignment has nothing to move it in:
    // the block itself is always centred in the control.
    text.moveTopLeft(QPoint((width() - text.width()) / 2, (height() - text.height()) / 2));
    return text;
}

void LinkLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(LinkFont());
    painter.setPen(m_hovering ? m_hoverColour : m_normalColour);
    const int align = m_textAlign == 1   ? Qt::AlignHCenter
                      : m_textAlign == 2 ? Qt::AlignRight
                                         : Qt::AlignLeft;
    painter.drawText(TextRect(), align | (m_wordWrap ? Qt::TextWordWrap : Qt::TextSingleLine),
                     m_caption);
}

void LinkLabel::SetHovering(bool on) {
    if (on == m_hovering) {
        return;
    }
    m_hovering = on;
    if (on) {
        setCursor(Qt::PointingHandCursor);
    } else {
        unsetCursor();
    }
    repaint();
}

void LinkLabel::mouseMoveEvent(QMouseEvent* event) {
    SetHovering(TextRect().contains(event->position().toPoint()));
}

void LinkLabel::leaveEvent(QEvent*) {
    SetHovering(false);
}

void LinkLabel::mousePressEvent(QMouseEvent* event) {
    if (m_hovering) {
        if (event->button() == Qt::LeftButton) {
            OnLinkClicked();
        } else if (event->button() == Qt::RightButton) {
            OnLinkRightClicked();
        }
        SetHovering(false);
    }
    QWidget::mousePressEvent(event);
}

void LinkLabel::OnLinkClicked() {
    const QString target = Target(m_url, m_caption);
    emit linkClicked(target);
    QDesktopServices::openUrl(QUrl::fromEncoded(target.toUtf8(), QUrl::TolerantMode));
}

QString LinkLabel::Target(const QString& url, const QString& caption) {
    if (!url.isEmpty()) {
        return url;
    }
    if (caption.contains(QLatin1Char('@')) && !caption.startsWith(QLatin1String("mailto:"))) {
        return QStringLiteral("mailto:") + caption;
    }
    return caption;
}

QUrl LinkLabel::RegisterUrl(const QString& serviceHost, const QString& path) {
    return QUrl::fromEncoded((Base(serviceHost, path) + QStringLiteral("register.asp")).toUtf8(),
                             QUrl::StrictMode);
}

QUrl LinkLabel::InviteUrl(const QString& serviceHost, const QString& path) {
    // Already escaped as it must travel: handed over as encoded text, never escaped again.
    const QString text = Base(serviceHost, path) +
                         QStringLiteral(
                             "myaccount.asp?LoginMsg=Please%20Login%20to%20Invite%20your%20friends"
                             "&redirurl=myaccount.asp%3F%23INVITE#INVITE");
    return QUrl::fromEncoded(text.toUtf8(), QUrl::StrictMode);
}

void LinkLabel::StyleAsMainWindowLink(LinkLabel* link) {
    link->SetNormalColour(QColor(0, 102, 0));
    link->SetHoverColour(QColor(0, 0, 255));
    link->SetCustomFont(true);
    link->SetFontFace(QStringLiteral("Times New Roman"));
    link->SetFontSize(18, 0);
    link->SetFontStyle(false, false);
    link->SetLayout(2, 0);
    link->SetWordWrap(false);
}
