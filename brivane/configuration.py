"""Reading the configuration file the way the engine will, before it starts."""


def load_configuration(path):
    """The configuration the engine will load, or the problem reading it."""
    import json
    from importlib import resources

    try:
        if path is None:
            text = resources.files("brivane").joinpath("config.json").read_text(encoding="utf-8")
        else:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        config = json.loads(text)
    except (OSError, ValueError) as error:
        return None, [f"--config: 无法读取配置文件 {path}: {error}"]
    if not isinstance(config, dict):
        return None, [f"--config: 配置文件必须是JSON对象: {path}"]
    return config, []
