"""A small GTK 3 window for the screen tools' tests, run with the system's Python (python3-gi).

It holds what the accessibility tree must render well: labelled controls with states and values,
a password field, a disabled button, a tab that is not showing, and a list long enough to
exceed any budget. It prints "ready" once the window is mapped and active.
"""

import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 120

window = Gtk.Window(title="Tavrin test window")
window.set_default_size(640, 480)
outer = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=4)

menubar = Gtk.MenuBar()
for title in ("File", "Edit", "Help"):
    item = Gtk.MenuItem(label=title)
    menu = Gtk.Menu()
    for entry in ("Open", "Save", "Quit"):
        menu.append(Gtk.MenuItem(label=f"{title} {entry}"))
    item.set_submenu(menu)
    menubar.append(item)
outer.pack_start(menubar, False, False, 0)

form = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=2)
form.add(Gtk.Label(label="Hello from the screen"))
entry = Gtk.Entry()
entry.set_text("typed text")
form.add(entry)
secret = Gtk.Entry()
secret.set_visibility(False)
secret.set_text("hunter2")
form.add(secret)
form.add(Gtk.Button(label="Press me"))
off = Gtk.Button(label="Unavailable")
off.set_sensitive(False)
form.add(off)
check = Gtk.CheckButton(label="Remember")
check.set_active(True)
form.add(check)
scale = Gtk.Scale.new_with_range(Gtk.Orientation.HORIZONTAL, 0, 100, 1)
scale.set_value(42)
form.add(scale)
long = Gtk.Label(label="A long\nlabel " + "word " * 80)
long.set_line_wrap(True)
long.set_max_width_chars(40)
form.add(long)

tabs = Gtk.Notebook()
tabs.append_page(form, Gtk.Label(label="Form"))
hidden = Gtk.Box()
hidden.add(Gtk.Button(label="Hidden button"))
tabs.append_page(hidden, Gtk.Label(label="Other"))

store = Gtk.ListStore(str, int)
for i in range(ROWS):
    store.append([f"Item {i}", i * 10])
view = Gtk.TreeView(model=store)
for col, title in enumerate(("Name", "Size")):
    view.append_column(Gtk.TreeViewColumn(title, Gtk.CellRendererText(), text=col))
scroller = Gtk.ScrolledWindow()
scroller.set_min_content_height(200)
scroller.add(view)

pane = Gtk.Box(spacing=4)
pane.pack_start(tabs, True, True, 0)
pane.pack_start(scroller, True, True, 0)
outer.pack_start(pane, True, True, 0)
window.add(outer)
window.connect("destroy", Gtk.main_quit)
window.show_all()
window.present()
entry.grab_focus()


def ready():
    if not window.is_active():
        return True
    print("ready", flush=True)
    return False


GLib.timeout_add(100, ready)
Gtk.main()
