"""The toolkit package's tests: a package of their own, so that their modules do
not clash by name with those of tests/python."""
