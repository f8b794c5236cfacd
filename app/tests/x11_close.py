#!/usr/bin/env python3
"""Finds a top-level X11 window by its exact title and asks it to close (WM_DELETE_WINDOW),
the way a window manager's close button does. Exit 0 when the request was sent."""
import ctypes
import ctypes.util
import sys
import time

title = sys.argv[1].encode()
timeout = float(sys.argv[2]) if len(sys.argv) > 2 else 20.0

x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                         ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                         ctypes.POINTER(ctypes.c_uint)]
x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XFlush.argtypes = [ctypes.c_void_p]
x.XFree.argtypes = [ctypes.c_void_p]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


display = x.XOpenDisplay(None)
if not display:
    sys.exit("cannot open the display")
root = x.XDefaultRootWindow(display)


def find(window):
    name = ctypes.c_char_p()
    if x.XFetchName(display, window, ctypes.byref(name)) and name.value == title:
        return window
    root_ret, parent = ctypes.c_ulong(), ctypes.c_ulong()
    children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
    if not x.XQueryTree(display, window, ctypes.byref(root_ret), ctypes.byref(parent),
                        ctypes.byref(children), ctypes.byref(count)):
        return None
    try:
        for i in range(count.value):
            found = find(children[i])
            if found:
                return found
    finally:
        if children:
            x.XFree(children)
    return None


deadline = time.time() + timeout
window = None
while time.time() < deadline and not window:
    window = find(root)
    if not window:
        time.sleep(0.1)
if not window:
    sys.exit(f"no window titled {title.decode()!r}")
print(f"found window 0x{window:x} titled {title.decode()!r}")

event = ClientMessage()
event.type = 33  # ClientMessage
event.window = window
event.message_type = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
event.format = 32
event.data[0] = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
event.data[1] = 0  # CurrentTime
x.XSendEvent(display, window, 0, 0, ctypes.byref(event))
x.XFlush(display)
