# Stand-in for the host application's package: the services its native modules import by name.
