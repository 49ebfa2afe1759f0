// The Setup menu: the line parameters and the two input boxes.
#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using MenusTest = FormTest;

// From the menu or by a direct call of its handler, a choice marks its item alone in its group
// and sets the port up again.
TEST_F(MenusTest, LineParameterChoicesMarkTheirItemAndSetThePortUp) {
  Start();
  ASSERT_TRUE(WaitTick());
  const std::pair<std::function<void()>, const char*> steps[] = {
      {[&] { Find<QAction>("baud_menu_10")->trigger(); }, "115200,N,8,1"},
      {[&] { form_->Bits_Menu_Click(7); }, "115200,N,7,1"},
      {[&] { form_->Stop_Menu_Click(2); }, "115200,N,7,2"},
      {[&] { Find<QAction>("Parity_Menu_3")->trigger(); }, "115200,E,7,2"},
      {[&] { form_->baud_menu_Click(1); }, "300,E,7,2"},
      {[&] { Find<QAction>("baud_menu_1")->trigger(); }, "300,E,7,2"}};  // again: set up again
  for (const auto& [step, line] : steps) {
    form_->results().SetResultText("");
    step();
    EXPECT_EQ(form_->results().ResultText(), "Com-port 1 = " + std::string(line) + "\r\n");
    EXPECT_EQ(form_->port().OpenState() ? form_->port().LineSettings() : "closed", line);
  }
  EXPECT_EQ(Find<QGroupBox>("Test_Frame")->title(), QStringLiteral("&Test:  (300,E,7,2)"));
  EXPECT_EQ(Marked(), (Strings{"Bits_Menu_7", "Parity_Menu_3", "Stop_Menu_2", "baud_menu_1"}));
}

// An answer is read as a number and rounded; the rounded number is stored when it is above 0
// (the delay) or 100 (the duration) and fits in 16 bits; otherwise the value stays, unsaid.
TEST_F(MenusTest, InputBoxesStoreOnlyNumbersAboveTheirLimit) {
  const struct {
    bool delay;          // else the close/open duration
    const char* answer;  // "" is Cancel
    std::int16_t stored;
  } cases[] = {{true, "", 50},         {true, "abc", 50},     {true, "0", 50},
               {true, "0.4", 50},      {true, "0.6", 1},      {true, "25ms", 25},
               {true, "32767", 32767}, {true, "32768", 50},   {false, "100", 2000},
               {false, "100.4", 2000}, {false, "100.6", 101}, {false, "101", 101}};
  Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.delay ? "delay \"" : "duration \"") + c.answer + "\"");
    form_->settings().HandshakeDelay = 50;
    form_->settings().MaxDuration = 2000;
    dialogs_.input_answer = c.answer;
    Find<QAction>(c.delay ? "SetupDelay_Menu" : "SetupDuration_Menu")->trigger();
    EXPECT_EQ(c.delay ? form_->settings().HandshakeDelay : form_->settings().MaxDuration, c.stored);
    EXPECT_EQ(dialogs_.inputs.back(), c.delay ? "50" : "2000") << "the box shows the value";
  }
}

}  // namespace
}  // namespace serivane::app::testing
