#pragma once

#include <QWidget>

// One entry of the link column: an icon and a name. A left-button release
// opens the row's address with the desktop's handler.
class LinkRow final : public QWidget
{
    Q_OBJECT

public:
    // Rows are this much wider than their name.
    static int widthBesideName();
    static QFont nameFont();

    // `colour` is any style-sheet colour; an address that is no web page is dropped.
    LinkRow(const QString &name, const QString &iconPath, const QString &colour, const QString &url,
            QWidget *parent);

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};
