"""Shared test settings."""


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "leak: repeated-call memory checks, sized to take a few seconds each")
