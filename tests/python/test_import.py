import zelto_sdk


def test_module_imports():
    assert zelto_sdk.__name__ == "zelto_sdk"
