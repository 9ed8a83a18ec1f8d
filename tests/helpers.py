# What more than one test file needs: Quelvarn's own texts, as a caller reads them, and a terminal
# that another program holds open, as a serial port stands on Debian.
import grp
import os
import pty

BANNER = (b"Quelvarn: Programa para patchear problema de puertos seriales bajo Windows 98 SE\n"
          b"Compa\xa4\xa1a Ketravol\n")
USAGE = b"Uso: Quelvarn n\n\tn: numero de COM a usar\n"
FAILURE = b"El puerto especificado no pudo ser abierto\n"


def open_terminal(request, link=None):
    """A terminal that another program has open, linked from link where given; returns our own
    end's fd and the other program's, both closed when the test ends."""
    master, slave = pty.openpty()
    if os.geteuid() == 0:  # a serial port's owner and mode on Debian
        os.chown(os.ttyname(slave), 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(os.ttyname(slave), 0o660)
    # Another program's own open file, so that its hold is not ours.
    other = os.open(os.ttyname(slave), os.O_RDWR | os.O_NOCTTY)
    for fd in (master, slave, other):
        request.addfinalizer(lambda fd=fd: os.close(fd))
    if link:
        os.symlink(os.ttyname(slave), link)
    return slave, other
