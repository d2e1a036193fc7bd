"""The reliability suite: disk faults, hostile run files, concurrency, signals, garbage
collection and shutdown. A package of its own so that its conftest does not shadow the
shared tests/conftest.py that every test module imports helpers from."""
