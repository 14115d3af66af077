#pragma once

#include <QWidget>

class Settings;

// Stands in for the main window until it exists: owns and publishes Settings.
class PlaceholderWindow final : public QWidget
{
    Q_OBJECT

public:
    explicit PlaceholderWindow(QWidget *parent = nullptr);
    ~PlaceholderWindow() override;

private:
    Settings *settings = nullptr;
};
