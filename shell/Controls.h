#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>

// The controls the windows are built from, with the behaviour the layouts rely on.

// A label with a transparent background, text aligned to its top. Auto-size labels fit their
// size to the text on every change, keeping left and top, and never wrap; the others wrap at
// blanks and cut off what does not fit. A carriage return in the caption starts a new line;
// caption() returns the text exactly as it was set.
class Label : public QLabel
{
    Q_OBJECT
public:
    explicit Label(QWidget *parent, bool autoSize = false);

    void setCaption(const QString &caption);
    const QString &caption() const { return m_caption; }
    bool autoSize() const { return m_autoSize; }

    // From now on a caption that does not fit is first shown in a smaller font, down to
    // minimumScale of the current one, before anything is cut (or, for an auto-size label,
    // before it grows wider than maxWidth).
    void shrinkToFit(double minimumScale, int maxWidth = 0);

private:
    bool fits(const QFont &font, const QString &shown) const;

    QString m_caption;
    bool m_autoSize;
    QFont m_designedFont;
    double m_minimumScale = 1.0;
    int m_maxWidth = 0;
};

// A button that shows a picture instead of a caption: the normal picture at rest and the
// held-down picture while pressed, each centred on the button and clipped by it.
class PictureButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit PictureButton(QWidget *parent);

    void setPicture(const QPixmap &picture);
    void setDownPicture(const QPixmap &picture);
    // As setPicture and setDownPicture with a picture file (LoadPicture): on failure the button
    // keeps what it showed. The file name stays with the picture until another replaces it.
    void loadPicture(const QString &fileName);
    void loadDownPicture(const QString &fileName);
    // Pictures are drawn this many times their own size (a layout scaled to a larger screen).
    void setPictureScale(double scale);
    const QPixmap &picture() const { return m_picture; }
    const QPixmap &downPicture() const { return m_downPicture; }
    // The file each picture came from; empty for one set as a pixmap.
    const QString &pictureFile() const { return m_pictureFile; }
    const QString &downPictureFile() const { return m_downPictureFile; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QPixmap m_picture, m_downPicture;
    QString m_pictureFile, m_downPictureFile;
    double m_pictureScale = 1.0;
};

// A clickable picture that takes no focus.
class ImageControl : public QLabel
{
    Q_OBJECT
public:
    explicit ImageControl(QWidget *parent);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// A single-line text box; flat boxes have a one-pixel border instead of a sunken edge.
QLineEdit *makeTextBox(QWidget *parent, bool flat);

// Loads a picture file; throws QavError(PictureNotLoaded) when it is missing or unreadable.
QPixmap LoadPicture(const QString &fileName);
