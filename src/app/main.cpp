#include "TApplication.h"
#include "Unit1.h"

#include <exception>
#include <stdexcept>

int main(int argc, char* argv[])
{
    TApplication Application(argc, argv);
    try {
        Application.Initialize();
        Application.CreateForm(Form1);
        Application.Run();
    } catch (const std::exception& error) {
        ShowException(error);
    } catch (...) {
        // Whatever was thrown carries no message we can show.
        try {
            throw std::runtime_error("");
        } catch (const std::exception& error) {
            ShowException(error);
        }
    }
    return 0;
}
