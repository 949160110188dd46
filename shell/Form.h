#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>

// One window class of the program. An instance exists without its window until it is loaded:
// loading builds the window and its controls and then runs Form_Load; unloading destroys the
// window but keeps the instance, so a later load builds a fresh window and runs Form_Load again.
// The instance belongs to its FormSlot; the window belongs to the instance.
class Form : public QObject
{
    Q_OBJECT
public:
    ~Form() override;

    bool isLoaded() const { return m_window != nullptr; }

    // Loads on first use, like every other access through the window's reference; null when
    // the load handler closed the window again.
    QWidget *window();

    void Load();
    void Unload();
    void Show();
    void Hide();

    // Window geometry in twips (15 to a pixel), as the layouts give it.
    int Width();
    int Height();
    void setWidth(int twips);
    void setHeight(int twips);
    void Move(int leftTwips, int topTwips);

    // Number of windows of the program that are loaded now.
    static int loadedCount();

protected:
    // Builds the window with all its controls; the instance takes ownership.
    virtual QWidget *createWindow() = 0;
    virtual void Form_Load() {}
    // The window's own title-bar close box: unloads the window unless a form says otherwise.
    virtual void Form_Close() { Unload(); }

    friend class FormWindowCloseFilter;

private:
    // The window, loading it first; throws HandlerAbandoned when the load closed it again.
    QWidget &loadedWindow();

    QPointer<QWidget> m_window;
};

// The program's four windows, each reached through one process-wide reference.
enum class FormId { Console, Station, Auxiliary, Summary };

// The process-wide reference to one window's instance: null until first use, then the same
// instance until dropped. Dropping hands the instance to the event loop for deletion, because
// one of its own handlers may still be running.
class FormSlot
{
public:
    using Factory = std::function<Form *()>;

    void setFactory(Factory factory)
    {
        if (!m_factory)
            m_factory = std::move(factory);
    }
    bool isNull() const { return m_form == nullptr; }

    // Creates a fresh, not yet loaded instance when the reference is null.
    Form *instance();
    // As instance(), then loads it. Throws HandlerAbandoned when the load unloaded the window
    // again (a start-up that closed the program), so the caller cannot go on with a dead window.
    Form *loaded();
    void unload();
    void drop();

private:
    Factory m_factory;
    QPointer<Form> m_form;
};

FormSlot &formSlot(FormId id);

// Typed access to a window's reference: `Global::frm01->...` loads the station on first use.
template <class T, FormId Id> struct FormRef
{
    FormSlot &slot() const
    {
        FormSlot &s = formSlot(Id);
        s.setFactory([] { return new T; });
        return s;
    }
    T *operator->() const { return static_cast<T *>(slot().loaded()); }
    T *instance() const { return static_cast<T *>(slot().instance()); }
    bool isNull() const { return formSlot(Id).isNull(); }
    bool isLoaded() const { return !isNull() && instance()->isLoaded(); }
    void Unload() const { slot().unload(); }
    void drop() const { formSlot(Id).drop(); }
};

// Thrown to leave a handler silently: what it was working on no longer exists.
struct HandlerAbandoned
{
};
