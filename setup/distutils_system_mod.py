"""Stand-in for Debian's stdlib hook: adds the two attributes Debian's setuptools reads."""
import distutils.command.install as _install


class install(_install.install):
    user_options = list(_install.install.user_options) + [("install-layout=", None, "ignored")]

    def initialize_options(self):
        super().initialize_options()
        self.install_layout = None
        self.prefix_option = None


_install.install = install
