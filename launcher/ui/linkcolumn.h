#pragma once

#include <QJsonArray>
#include <QWidget>

// The column of links at the window's left, built from the product profile's
// categories: a row per named entry, a thin line for an unnamed one.
class LinkColumn final : public QWidget
{
    Q_OBJECT

public:
    explicit LinkColumn(QWidget *parent = nullptr);

    // Replaces every row, in the current language (names are translated when
    // built), and fits the column to the widest name.
    void setupCategoryButtons(const QJsonArray &categories);
};
