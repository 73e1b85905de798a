"""Reading the configuration file the way the engine will, before it starts."""


def load_configuration(path):
    """The configuration the engine will load (its own reader), or the
    problem reading it."""
    from brivane import _native

    try:
        config = _native.read_configuration(path)
    except (OSError, ValueError) as error:
        return None, [f"--config: 无法读取配置文件 {path}: {error}"]
    if not isinstance(config, dict):
        return None, [f"--config: 配置文件必须是JSON对象: {path}"]
    return config, []
