#pragma once
// The progress bar the window shows: its own text, its exact value.

#include <QProgressBar>
#include <QString>

// A progress bar that shows a text of its own and keeps the exact value it
// was given. A screen reader hears that text as the bar's name.
class TextProgressBar : public QProgressBar {
    Q_OBJECT
public:
    explicit TextProgressBar(QWidget *parent = nullptr);
    QString Text() const { return m_text; }
    void setText(const QString &text);
    double exactValue() const { return m_exact; }
    void setExactValue(double value);
    QString text() const override { return m_text; }

signals:
    void exactValueSet(double value);
    void textSet(const QString &text);

private:
    QString m_text;
    double m_exact = 0;
};
