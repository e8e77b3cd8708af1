#pragma once
// The list of recordings left unsent when the network went away. It stays
// until its OK button deletes it. Main thread.

#include "KxMovableWidget.h"

#include <QListWidget>
#include <QListWidgetItem>
#include <QStringList>

class QLabel;

/// One row: a small notice icon and the file's name.
class SingleLine : public QWidget {
    Q_OBJECT
public:
    SingleLine(const QString &name, double scale, QWidget *parent = nullptr);
    QString name() const;

private:
    QLabel *m_pNameLabel;
};

class ListWidgetItem : public QListWidgetItem {
public:
    using QListWidgetItem::QListWidgetItem;
};

class KxUpdateWidget : public QListWidget {
    Q_OBJECT
public:
    explicit KxUpdateWidget(double scale, QWidget *parent = nullptr);
    /// Replaces the rows with fns in the given order and selects the first;
    /// the vertical scroll bar is always shown beyond 4 rows, else never.
    void setDatas(const QStringList &fns);

private:
    double m_dScale;
};

class KxUpdateListWidgetPrivate;

class KxUpdateListWidget : public KxMovableWidget {
    Q_OBJECT
public:
    explicit KxUpdateListWidget(double *scale, QWidget *parent = nullptr);
    ~KxUpdateListWidget() override;

    void setDatas(const QStringList &fns);
    KxUpdateWidget *listWidget() const;

signals:
    void sigToExit();

protected:
    void hideEvent(QHideEvent *event) override;

private:
    KxUpdateListWidgetPrivate *m_pData;
};
