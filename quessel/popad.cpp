#include "quessel/popad.h"

#include <QLabel>
#include <QResizeEvent>
#include <algorithm>

#include "common/controls.h"

namespace quessel {

QString Popad::text() {
    static const char *const lines[] = {
        "quessel",
        "Copyright (C) 2024 the Tessaruno developers. All rights reserved.",
        "Also from Tessaruno: morrent, the POP3 fetch-and-deliver tool.",
        "morrent fetches every message of a POP3 mailbox and hands it to your local mail service; "
        "download it from https://tessaruno.example/morrent",
        "1. Just run this Proxy on your Server",
        "2. reconfigure your email clients:",
        "2.1. change in your email client software the username from USERNAME to USERNAME|SERVER",
        "2.2. change in your email client software the SERVER from SERVER to THISCOMPUTERNAME",
        "quessel is free of charge.",
        "It also runs as a service (quessel.service, settings in /etc/tessaruno/quessel.conf) and "
        "logs every login and session to the journal.",
        "Questions and ideas: quessel@tessaruno.example",
    };
    QString t;
    for (int n = 1; n <= 11; ++n) {
        t += QString::fromLatin1(lines[n - 1]) + QStringLiteral("\r\n");
        if (n == 4 || n == 8) t += QStringLiteral("\r\n\r\n");
    }
    return t;
}

Popad::Popad(QWidget *parent) : QWidget(parent) {
    common::name(this, "popad");
    setWindowTitle(QStringLiteral("quessel"));
    Label1 = new QLabel(this);
    common::place(Label1, "Label1", 120, 120, 9015, 5295);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setWordWrap(true);
    Label1->setTextFormat(Qt::PlainText);
    Label1->setText(text());
}

void Popad::resizeEvent(QResizeEvent *event) {
    // The label fills the window inside the margin it stands in, so that its text wraps within
    // what shows (taking the window's whole size from its own corner cut the ends of its lines).
    const QPoint at = Label1->pos();
    Label1->resize(std::max(1, width() - 2 * at.x()), std::max(1, height() - 2 * at.y()));
    QWidget::resizeEvent(event);
}

}  // namespace quessel
