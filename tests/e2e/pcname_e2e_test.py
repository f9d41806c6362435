"""pcname end to end: the box shows exactly this machine's name as Windows
reports it in the same prefix, under its own caption, with no owner.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conf_gui  # noqa: E402


class PcnameTest(conf_gui.SessionTestCase):

    @classmethod
    def setUpClass(cls):
        cls.ui = conf_gui.read_text_constants(os.path.join(cls.options.source_root, "common", "ui_texts.h"))
        super().setUpClass()

    def test_box_shows_exactly_the_computer_name(self):
        code_page, computer_name, _, _ = self.driver.system()
        self.assertEqual(code_page, 932, "the prefix runs in code page 932")
        self.assertTrue(computer_name, "the driver reads a computer name")

        program = self.session.launch(self.options.program)
        self.addCleanup(program.kill)
        box = self.session.wait_box(owner=0, timeout=30)
        self.session.screenshot("pcname")
        self.assertEqual(box.caption, self.ui["kComputerNameCaption"])
        self.assertEqual(box.text, computer_name, "the name and nothing else")
        self.assertEqual(box.buttons, ("ok",))
        self.assertEqual(box.icon, "none")

        self.driver.answer_box(box.hwnd, "ok")
        self.assertEqual(program.wait_exit(timeout=15), 0)
        self.assertEqual(self.session.boxes(owner=0), [])


if __name__ == "__main__":
    conf_gui.run_suite(PcnameTest)
