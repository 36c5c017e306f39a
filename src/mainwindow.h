#pragma once

#include <QMainWindow>

#include "bridge.h"

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    Bridge *bridge() { return &m_bridge; }

private:
    Bridge m_bridge;
};
