#include "window/TextProgressBar.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace {

class AccessibleTextProgressBar : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit AccessibleTextProgressBar(TextProgressBar *bar)
        : QAccessibleWidget(bar, QAccessible::ProgressBar)
    {
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name || t == QAccessible::Value)
            return bar()->Text();
        return QAccessibleWidget::text(t);
    }

    QVariant currentValue() const override { return bar()->value(); }
    void setCurrentValue(const QVariant &) override {} // a bar is read, not set
    QVariant maximumValue() const override { return bar()->maximum(); }
    QVariant minimumValue() const override { return bar()->minimum(); }
    QVariant minimumStepSize() const override { return 0; }

private:
    TextProgressBar *bar() const { return static_cast<TextProgressBar *>(widget()); }
};

QAccessibleInterface *makeAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("TextProgressBar"))
        if (auto *bar = qobject_cast<TextProgressBar *>(object))
            return new AccessibleTextProgressBar(bar);
    return nullptr;
}

// Makes every TextProgressBar answer a screen reader so: its name and its
// value are the text it shows ("Progress Bar", "Processing: Trip", "Adding
// folders: 12,345"); its numbers are those of the bar.
void installAccessibleProgressBar()
{
    static const bool installed = [] {
        QAccessible::installFactory(makeAccessible);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace

TextProgressBar::TextProgressBar(QWidget *parent) : QProgressBar(parent)
{
    installAccessibleProgressBar();
    setRange(0, 100);
    setValue(0);
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
}

void TextProgressBar::setText(const QString &text)
{
    m_text = text;
    update();
    // A screen reader hears the text as the bar's name (AccessibleTextProgressBar).
    QAccessibleEvent changed(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
    emit textSet(text);
}

void TextProgressBar::setExactValue(double value)
{
    m_exact = value;
    setValue(qBound(0, qRound(value), 100));
    emit exactValueSet(value);
}
