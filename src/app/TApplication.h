#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <memory>
#include <stdexcept>
#include <utility>

class TForm1;

// The application object: starts the program's one window, runs the event
// loop until that window closes, and owns the window until it ends.
class TApplication : public QApplication {
    Q_OBJECT

public:
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    void Initialize();
    // Builds the main window from its stored layout and stores it in `form`.
    void CreateForm(TForm1*& form);
    // Shows the main window and handles events until it closes.
    void Run();

private:
    std::unique_ptr<TForm1> mainForm_;
    TForm1** mainFormRef_ = nullptr;
};

// The standard error box: the error's message, or a plainer text for the
// library errors whose own message means nothing to a user.
void ShowException(const std::exception& error);

// A modal box with the text and an OK button; returns when it is closed.
void ShowMessage(const QString& text);

// Runs one event handler. What it throws ends here, in the standard error box,
// so that no exception unwinds through Qt and the program goes on.
template <class Handler> void Dispatch(Handler&& handler) noexcept
{
    try {
        try {
            std::forward<Handler>(handler)();
        } catch (const std::exception& error) {
            ShowException(error);
        } catch (...) {
            ShowException(std::runtime_error(""));
        }
    } catch (...) {
        // The box itself failed (no memory for it); there is nobody left to tell.
    }
}
