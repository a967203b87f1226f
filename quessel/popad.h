// The information window: how to set up mail clients for the proxy.
#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace quessel {

class Popad : public QWidget {
    Q_OBJECT
public:
    explicit Popad(QWidget *parent = nullptr);

    // The caption of Label1, line by line, each ending in CR LF.
    static QString text();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QLabel *Label1;
};

}  // namespace quessel
