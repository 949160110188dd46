#include "shell/Form.h"

#include "shell/Lifecycle.h"
#include "shell/Look.h"

#include <QCloseEvent>

namespace {

int s_loaded = 0;

} // namespace

// Turns the title-bar close box into an unload of the form, as every other way out is.
class FormWindowCloseFilter : public QObject
{
public:
    explicit FormWindowCloseFilter(Form *form) : QObject(form), m_form(form) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Close && watched == m_form->m_window) {
            event->ignore();
            runHandler([this] { m_form->Form_Close(); });
            return true;
        }
        return false;
    }

private:
    Form *m_form;
};

Form::~Form()
{
    if (m_window) {
        delete m_window;
        --s_loaded;
    }
}

QWidget *Form::window()
{
    Load();
    return m_window;
}

QWidget &Form::loadedWindow()
{
    if (QWidget *w = window())
        return *w;
    throw HandlerAbandoned{};
}

void Form::Load()
{
    if (m_window)
        return;
    m_window = createWindow();
    m_window->installEventFilter(new FormWindowCloseFilter(this));
    ++s_loaded;
    Form_Load();
}

void Form::Unload()
{
    if (!m_window)
        return;
    QWidget *w = m_window;
    m_window = nullptr;
    w->hide();
    // A handler of one of its controls may still be on the stack.
    w->deleteLater();
    if (--s_loaded == 0)
        programMayEnd();
}

void Form::Show()
{
    QWidget &w = loadedWindow();
    // A window shown again comes to the front, where the operator expects it; a new one is
    // mapped there anyway.
    if (w.isVisible())
        w.raise();
    w.show();
    // A window that must not take the keyboard from the others is shown without activating it.
    if (!w.testAttribute(Qt::WA_ShowWithoutActivating))
        w.activateWindow();
}

void Form::Hide()
{
    loadedWindow().hide();
}

int Form::Width()
{
    return loadedWindow().width() * 15;
}

int Form::Height()
{
    return loadedWindow().height() * 15;
}

void Form::setWidth(int twips)
{
    QWidget &w = loadedWindow();
    w.resize(tw(twips), w.height());
}

void Form::setHeight(int twips)
{
    QWidget &w = loadedWindow();
    w.resize(w.width(), tw(twips));
}

void Form::Move(int leftTwips, int topTwips)
{
    loadedWindow().move(tw(leftTwips), tw(topTwips));
}

int Form::loadedCount()
{
    return s_loaded;
}

Form *FormSlot::instance()
{
    if (!m_form && m_factory)
        m_form = m_factory();
    return m_form;
}

Form *FormSlot::loaded()
{
    Form *form = instance();
    if (!form)
        throw HandlerAbandoned{};
    form->Load();
    if (m_form != form || !form->isLoaded())
        throw HandlerAbandoned{};
    return form;
}

void FormSlot::unload()
{
    if (Form *form = instance())
        form->Unload();
}

void FormSlot::drop()
{
    if (m_form)
        m_form->deleteLater();
    m_form = nullptr;
}

FormSlot &formSlot(FormId id)
{
    static FormSlot references[4];
    return references[static_cast<int>(id)];
}
