// Controls found as a user's tools find them: by their objectName under the window. A test that
// reached them through the window's members would pass even when the name the tools look for was
// lost.
#pragma once

#include <QObject>
#include <QString>
#include <QtGlobal>

// The one control of type W named `name` under root. None, or more than one, ends the test run
// with the reason: every test after it would only fail on the same missing control.
template <class W>
W *control(const QObject *root, const char *name) {
    const QList<W *> found = root->findChildren<W *>(QString::fromLatin1(name));
    if (found.size() != 1)
        qFatal("%s has %d controls named \"%s\" of type %s, not one",
               qPrintable(root->objectName()), int(found.size()), name,
               W::staticMetaObject.className());
    return found.first();
}
